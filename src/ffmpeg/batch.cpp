#include <limits>

#include "ffmpeg/buffer.hpp"

namespace ffmpeg {
namespace {
bool mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
constexpr uint64_t kSlack = 64;
}  // namespace

Result<Batch> allocate_batch(uint64_t n, uint64_t height, uint64_t width, uint64_t channels,
                             uint64_t sample_bytes) {
  uint64_t pixels, samples, batch_samples, bytes;
  if (!mul(width, height, pixels) || !mul(pixels, channels, samples))
    return Error::runtime("frame is too large");
  if (!mul(samples, n, batch_samples)) return Error::runtime("batch is too large");
  if (!mul(batch_samples, sample_bytes, bytes) ||
      bytes > std::numeric_limits<uint64_t>::max() - kSlack)
    return Error::runtime("batch is too large");
  if (bytes > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - kSlack)
    return Error::runtime("cannot allocate the output batch");
  Batch batch;
  batch.pixels = OwnedBuffer::zeroed(static_cast<size_t>(bytes), ElementType::UInt8, kSlack);
  if (!batch.pixels.data()) return Error::runtime("cannot allocate the output batch");
  batch.picture_bytes = static_cast<size_t>(samples * sample_bytes);
  batch.row_bytes = static_cast<size_t>(width * channels * sample_bytes);
  batch.starts.assign(n, 0.0);
  batch.durations.assign(n, 0.0);
  return batch;
}

}  // namespace ffmpeg
