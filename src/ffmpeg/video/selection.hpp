// Frame selection: the plan of a frame request, the seeks its seek points call for,
// and the choice of the decoded frame that answers each target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/video/placer.hpp"
#include "ffmpeg/video/request.hpp"

namespace ffmpeg {

struct Selection {
  // The frame at `pts` (exact) or the first at or after it; seek to `seek_pts` first
  // if a seek is needed.
  struct Frame {
    bool exact;
    int64_t pts;
    int64_t seek_pts;
  };
  // The frame showing at `seconds`.
  struct Timestamp {
    double seconds;
  };
  std::variant<Frame, Timestamp> value;
};

struct PlanEntry {
  Selection selection;
  std::vector<size_t> positions;  // never empty, ascending
};
using Plan = std::vector<PlanEntry>;

// One selection per distinct pts, in ascending pts order, each with the positions
// that asked for it.
Plan plan_frames(const VideoRequest::Frames& request);

// Reaches and places the frame of every selection, in plan order.
Status run_frame_plan(Decoder& decoder, const Plan& plan, Placer& placer);

}  // namespace ffmpeg
