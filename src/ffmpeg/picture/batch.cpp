#include <cstdint>
#include <limits>

#include "ffmpeg/block_pool.hpp"
#include "ffmpeg/buffer.hpp"

namespace ffmpeg {
namespace {
bool mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
constexpr uint64_t kSlack = 64;

}  // namespace

OwnedBuffer OwnedBuffer::for_writing(size_t count, ElementType type, size_t slack) {
  const size_t bytes = count * element_size(type) + slack;
  if (bytes >= kPooledBytes) {
    void* p = acquire_block(bytes);
    if (!p) return {};
    return OwnedBuffer(p, count, count, type, [](void* d, size_t, size_t) { release_block(d); });
  }
  void* p = std::calloc(bytes ? bytes : 1, 1);
  if (!p) return {};
  return OwnedBuffer(p, count, count, type, [](void* d, size_t, size_t) { std::free(d); });
}

Result<Batch> allocate_batch(uint64_t n, uint64_t height, uint64_t width, uint64_t channels,
                             uint64_t sample_bytes, uint64_t final_sample_bytes) {
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
  Batch batch;
  // Room for the final element type; the picture bytes are the first `bytes` of it.
  batch.pixels = OwnedBuffer::for_writing(static_cast<size_t>(final_bytes), ElementType::UInt8, kSlack);
  if (!batch.pixels.data()) return Error::runtime("cannot allocate the output batch");
  batch.picture_bytes = static_cast<size_t>(samples * sample_bytes);
  batch.row_bytes = static_cast<size_t>(width * channels * sample_bytes);
  batch.starts.assign(n, 0.0);
  batch.durations.assign(n, 0.0);
  return batch;
}

}  // namespace ffmpeg
