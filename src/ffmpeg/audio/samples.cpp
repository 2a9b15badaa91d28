#include "ffmpeg/audio/samples.hpp"

#include "ffmpeg/output/memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace ffmpeg {
namespace {

constexpr size_t kMaxSamples = std::numeric_limits<size_t>::max() / sizeof(float) / 2;
// Enough for a few seconds of audio, so that short clips never grow at all.
constexpr size_t kFirstCapacity = 1 << 16;
// Samples gathered per step when the channels are joined (1 MiB).
constexpr size_t kGatherStep = 1 << 18;

void release_floats(void* data, size_t, size_t) { std::free(data); }

Error out_of_memory() { return Error::runtime("cannot allocate audio samples"); }

// realloc with a size of zero may free the block; ask for one element at least.
float* resize(float* data, size_t count) {
  return static_cast<float*>(std::realloc(data, (count ? count : 1) * sizeof(float)));
}

}  // namespace

ChannelSamples::ChannelSamples(int channels) : planes_(static_cast<size_t>(channels), nullptr) {}

ChannelSamples::~ChannelSamples() {
  for (float* p : planes_) std::free(p);
}

Status ChannelSamples::reserve(size_t count, float** tails) {
  if (count > kMaxSamples - length_) return out_of_memory();
  const size_t needed = length_ + count;
  if (needed > capacity_) {
    size_t grown = capacity_ ? capacity_ : kFirstCapacity;
    while (grown < needed) grown = grown > kMaxSamples / 2 ? kMaxSamples : grown * 2;
    // A short file can decode to more samples than memory holds (a long stream of
    // silence, a high output rate, many channels): the growth is checked before it is
    // asked for, since the kernel would grant it and kill the process when it is used.
    uint64_t more;
    if (__builtin_mul_overflow(uint64_t{grown - capacity_}, planes_.size() * sizeof(float), &more))
      more = UINT64_MAX;
    TRY(check_memory(more, "decoded audio"));
    // A plane that grew before another failed keeps its larger block: capacity_ only
    // promises a lower bound, which stays true.
    for (float*& plane : planes_) {
      float* p = resize(plane, grown);
      if (!p) return out_of_memory();
      plane = p;
    }
    capacity_ = grown;
  }
  for (size_t c = 0; c < planes_.size(); ++c) tails[c] = planes_[c] + length_;
  return ok();
}

Result<OwnedBuffer> ChannelSamples::take() {
  const size_t channels = planes_.size();
  size_t total;
  if (__builtin_mul_overflow(channels, length_, &total) || total > kMaxSamples)
    return out_of_memory();
  // The first plane becomes the result: trimmed to size when it is the only one (a
  // shrinking realloc of a large block gives pages back without copying), or grown to
  // hold every channel.
  float* data = resize(planes_[0], total);
  if (!data) return out_of_memory();
  planes_[0] = nullptr;
  OwnedBuffer out(data, total, total, ElementType::Float32, release_floats);
  for (size_t c = 1; c < channels; ++c) {
    // Copied from its end in steps, the plane gives back each copied step at once (a
    // shrinking realloc), so a long plane and its copy never both stay whole.
    size_t left = length_;
    while (left > 0) {
      const size_t step = left < kGatherStep ? left : kGatherStep;
      left -= step;
      std::memcpy(data + c * length_ + left, planes_[c] + left, step * sizeof(float));
      if (left)
        if (float* p = resize(planes_[c], left)) planes_[c] = p;
    }
    std::free(std::exchange(planes_[c], nullptr));
  }
  length_ = capacity_ = 0;
  return out;
}

}  // namespace ffmpeg
