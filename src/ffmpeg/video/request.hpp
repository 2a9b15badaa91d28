// Video requests: frames by presentation timestamp, or the frames showing at given
// seconds, answered as one batch of pictures with the timing of each.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/picture/batch.hpp"
#include "ffmpeg/picture/color.hpp"
#include "ffmpeg/picture/converter.hpp"
#include "ffmpeg/picture/transforms.hpp"

namespace ffmpeg {

struct FrameTarget {
  int64_t pts;       // the frame wanted, in stream time-base units
  int64_t seek_pts;  // where the backward seek before decoding it aims
};

struct VideoRequest {
  struct Frames {
    std::vector<FrameTarget> targets;  // in the caller's order
    bool exact = false;
  };
  struct Timestamps {
    std::vector<double> seconds;  // in the caller's order
  };
  std::variant<Frames, Timestamps> value;
};

// Checks the request, plans and runs it, converting pictures with `pictures` (the video
// decoder's own; null for an audio decoder). Runs with the interpreter lock released;
// on failure nothing of the request survives and the engine stays usable.
Result<VideoResult> video_request(Decoder& decoder, PictureConverter* pictures,
                                  VideoRequest request, OutputType type,
                                  const std::vector<Transform>& transforms);

}  // namespace ffmpeg
