#include <sys/mman.h>

#include <cstdint>
#include <limits>

#include "ffmpeg/buffer.hpp"

namespace ffmpeg {
namespace {
bool mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
constexpr uint64_t kSlack = 64;

// A batch is written once, front to back, and can run to gigabytes: in 4 KiB pages its
// first touch and its release cost a sizeable share of the decoding time. Transparent
// huge pages, where the system offers them on request, cut that by a factor of 512.
void advise_huge_pages(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (bytes < 2 * kHuge) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
  // Advice only: where it is refused the pages are simply small.
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}
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
  advise_huge_pages(batch.pixels.data(), static_cast<size_t>(bytes));
  batch.picture_bytes = static_cast<size_t>(samples * sample_bytes);
  batch.row_bytes = static_cast<size_t>(width * channels * sample_bytes);
  batch.starts.assign(n, 0.0);
  batch.durations.assign(n, 0.0);
  return batch;
}

}  // namespace ffmpeg
