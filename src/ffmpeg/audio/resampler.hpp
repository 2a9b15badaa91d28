// Converts decoded audio frames to planar float at the output rate and the default
// layout of the output channel count, appending to per-channel sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/audio/samples.hpp"
#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// libswresample's filter grows with the ratio of input to output rate (its taps with
// the ratio, times up to 1024 phases): a header claiming 831 MHz, resampled to 16 kHz,
// builds a 1.7 GB filter for 8 s before the first sample. No audio has such a rate
// (PCM tops out at 768 kHz; DSD1024 decodes to 5.6448 MHz), and an output rate below
// 1/256 of the input keeps less than 0.4% of its band, so both are refused before
// anything is built. At 256 the filter costs at most about 70 MB and half a second.
constexpr int kMaxSourceRate = 6144000;
constexpr int kMaxDownsampling = 256;

class Resampler {
 public:
  // A resampler from the format, rate and layout of `input` to planar float at
  // `rate` with the default layout of `channels` channels. A source rate outside 1 to
  // kMaxSourceRate, or one more than kMaxDownsampling times `rate`, is refused.
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
