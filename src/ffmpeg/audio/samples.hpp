// Decoded audio on its way to NumPy: one growable float sequence per output channel,
// all of the same length, turned into one (channels, length) buffer at the end.
#pragma once

#include <cstddef>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/output/buffer.hpp"

namespace ffmpeg {

class ChannelSamples {
 public:
  explicit ChannelSamples(int channels);  // at least one
  ChannelSamples(const ChannelSamples&) = delete;
  ChannelSamples& operator=(const ChannelSamples&) = delete;
  ~ChannelSamples();

  int channels() const noexcept { return static_cast<int>(planes_.size()); }
  size_t length() const noexcept { return length_; }  // samples per channel

  // Room for `count` more samples in every channel, growing geometrically so that
  // appending stays amortised; `tails` (one per channel) receives where they go.
  // Nothing becomes part of the sequences before commit().
  Status reserve(size_t count, float** tails);
  // The first `count` reserved samples of every channel now belong to the sequences.
  void commit(size_t count) noexcept { length_ += count; }

  // Moves the samples into one C-order (channels, length) float32 buffer and leaves
  // the sequences empty. A single channel is handed over as it is; more channels are
  // gathered into the first one's allocation, each released step by step as it is
  // copied, so the peak stays close to the result's own size.
  Result<OwnedBuffer> take();

 private:
  std::vector<float*> planes_;  // malloc'd, each with room for capacity_ samples
  size_t length_ = 0;
  size_t capacity_ = 0;
};

}  // namespace ffmpeg
