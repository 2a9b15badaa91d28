#include "ffmpeg/picture/batch.hpp"

#include "ffmpeg/output/memory.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace ffmpeg {
namespace {

bool mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
constexpr uint64_t kSlack = 64;

// Rewrites the 16-bit samples of `bytes` as native uint16 values, in place.
void to_native_uint16(uint8_t* bytes, size_t count, bool big_endian) {
  if (big_endian == (std::endian::native == std::endian::big)) return;  // already native
  for (size_t i = 0; i < count; ++i) std::swap(bytes[2 * i], bytes[2 * i + 1]);
}

// Widens little-endian 16-bit samples to floats in 0..1 inside a buffer that already
// has room for `count` floats. Works from the end, one block at a time through a small
// copy, so that no sample is overwritten before it is read.
void to_unit_float(uint8_t* bytes, size_t count) {
  constexpr size_t kBlock = 4096;
  uint16_t block[kBlock];
  size_t end = count;
  while (end > 0) {
    const size_t start = end > kBlock ? end - kBlock : 0;
    const size_t n = end - start;
    const uint8_t* source = bytes + 2 * start;
    for (size_t i = 0; i < n; ++i)
      block[i] = static_cast<uint16_t>(source[2 * i] | (source[2 * i + 1] << 8));
    float* out = reinterpret_cast<float*>(bytes + 4 * start);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(block[i]) / 65535.0f;
    end = start;
  }
}

}  // namespace

Result<Batch> Batch::allocate(size_t count, Size size, const PictureFormat& format) {
  const uint64_t n = count;
  const auto height = static_cast<uint64_t>(size.height);
  const auto width = static_cast<uint64_t>(size.width);
  const auto channels = static_cast<uint64_t>(format.channels);
  const auto sample_bytes = static_cast<uint64_t>(format.sample_bytes);
  const uint64_t final_sample_bytes = element_size(format.element);
  uint64_t pixels, samples, batch_samples, bytes, final_bytes;
  if (!mul(width, height, pixels) || !mul(pixels, channels, samples))
    return Error::runtime("frame is too large");
  if (!mul(samples, n, batch_samples)) return Error::runtime("batch is too large");
  if (!mul(batch_samples, sample_bytes, bytes) ||
      bytes > std::numeric_limits<uint64_t>::max() - kSlack)
    return Error::runtime("batch is too large");
  if (!mul(batch_samples, final_sample_bytes, final_bytes) ||
      final_bytes > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - kSlack)
    return Error::runtime("cannot allocate the output batch");
  // A header may claim any picture size, and the pages would be touched only as the
  // pictures are written: refuse what the system cannot give before asking for it.
  TRY(check_memory(final_bytes + kSlack, "video output"));
  Batch batch;
  // Room for the final element type; the picture bytes are the first `bytes` of it.
  batch.pixels_ =
      OwnedBuffer::for_writing(static_cast<size_t>(final_bytes), ElementType::UInt8, kSlack);
  if (!batch.pixels_.data()) return Error::runtime("cannot allocate the output batch");
  batch.format_ = format;
  batch.size_ = size;
  batch.picture_bytes_ = static_cast<size_t>(samples * sample_bytes);
  batch.row_bytes_ = static_cast<size_t>(width * channels * sample_bytes);
  batch.starts_.assign(count, 0.0);
  batch.durations_.assign(count, 0.0);
  return batch;
}

Status Batch::write(const Picture& picture, size_t position) {
  const size_t row =
      static_cast<size_t>(picture.width) * static_cast<size_t>(format_.pixel_bytes());
  const size_t stride = static_cast<size_t>(std::abs(static_cast<ptrdiff_t>(picture.linesize)));
  if (!picture.data || row > stride) return Error::runtime("invalid decoded frame stride");
  // The geometry checks before decoding make this hold; a mismatch would write out of
  // the slot, so it is refused rather than trusted.
  if (row != row_bytes_ || row * static_cast<size_t>(picture.height) != picture_bytes_)
    return Error::runtime("picture does not match the output size");
  uint8_t* out = slot(position);
  if (static_cast<ptrdiff_t>(picture.linesize) == static_cast<ptrdiff_t>(row)) {
    std::memcpy(out, picture.data, picture_bytes_);
    return ok();
  }
  const uint8_t* in = picture.data;
  // A negative line size (a bottom-up picture) walks upwards through memory.
  for (int y = 0; y < picture.height; ++y, out += row, in += picture.linesize)
    std::memcpy(out, in, row);
  return ok();
}

void Batch::copy(size_t from, size_t to) noexcept {
  std::memcpy(slot(to), slot(from), picture_bytes_);
  starts_[to] = starts_[from];
  durations_[to] = durations_[from];
}

VideoResult Batch::finish() noexcept {
  VideoResult result;
  result.shape = {starts_.size(), static_cast<size_t>(size_.height),
                  static_cast<size_t>(size_.width), static_cast<size_t>(format_.channels)};
  const size_t count = picture_bytes_ * starts_.size() / 2;  // 16-bit samples written
  switch (format_.element) {
    case ElementType::UInt8: result.frames = std::move(pixels_); break;
    case ElementType::UInt16: to_native_uint16(pixels_.bytes(), count, format_.big_endian); break;
    // The batch has room for the floats (allocate): widen in place, from the end.
    case ElementType::Float32: to_unit_float(pixels_.bytes(), count); break;
  }
  if (format_.element != ElementType::UInt8) {
    void* data = pixels_.data();
    const auto release = pixels_.release();
    result.frames = OwnedBuffer(data, count, count, format_.element, release);
  }
  result.starts = std::move(starts_);
  result.durations = std::move(durations_);
  return result;
}

}  // namespace ffmpeg
