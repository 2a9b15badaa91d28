// Decoding the audio stream from its beginning into planar float samples.
#pragma once

#include <cstdint>
#include <optional>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/error.hpp"
#include "ffmpeg/output/buffer.hpp"

namespace ffmpeg {

struct AudioRequest {
  int32_t sample_rate = 0;
  int32_t channels = 0;
  std::optional<double> stop;  // seconds on the stream's timeline
};

struct Audio {
  OwnedBuffer samples;  // float32, C order (channels, length)
  size_t length = 0;    // samples per channel
  double start = 0.0;   // seconds of the first decoded frame
};

// Rewinds, decodes and resamples until the end of the stream, or until the samples
// reach `stop`; the resampler's buffered tail is always flushed into the result.
// Runs with the interpreter lock released.
Result<Audio> decode_audio(Decoder& d, const AudioRequest& request);

}  // namespace ffmpeg
