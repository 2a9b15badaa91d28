// Converts decoded audio frames to planar float at the output rate and the default
// layout of the output channel count, appending to per-channel sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/audio/samples.hpp"
#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

class Resampler {
 public:
  // A resampler from the format, rate and layout of `input` to planar float at
  // `rate` with the default layout of `channels` channels.
  static Result<Resampler> create(const AVFrame& input, int rate, int channels);

  // Whether `frame` has the sample format, rate and channel layout this resampler
  // was built for; a frame that differs must go to a new resampler.
  bool accepts(const AVFrame& frame) const noexcept;

  // Appends the samples of `planes` (`count` per channel) to `out`. Null planes with
  // a count of 0 flush what the resampler still holds. On failure nothing of this
  // call is appended.
  Status convert(ChannelSamples& out, const uint8_t* const* planes, int count);
  Status flush(ChannelSamples& out) { return convert(out, nullptr, 0); }

 private:
  Resampler() = default;

  SwrContextPtr context_;
  // The input the context was built for.
  AVSampleFormat format_ = AV_SAMPLE_FMT_NONE;
  int rate_ = 0;
  ChannelLayout layout_;
  // Where each output channel's next samples go; reused by every call.
  std::vector<float*> tails_;
};

}  // namespace ffmpeg
