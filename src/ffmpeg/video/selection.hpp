// Frame selection: the plan of a request and the placing of chosen frames.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "ffmpeg/buffer.hpp"
#include "ffmpeg/picture/color.hpp"
#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/timing.hpp"
#include "ffmpeg/picture/transforms.hpp"
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

// Puts chosen frames into the batch: one conversion per frame, byte copies for its
// further positions, and the start and duration of each.
class Placer {
 public:
  Placer(Decoder& decoder, const PictureFormat& format, const std::vector<Transform>& transforms,
         Batch& batch)
      : decoder_(decoder), format_(format), transforms_(transforms), batch_(batch) {}

  Status place(const AVFrame& frame, const std::vector<size_t>& positions);
  // Fills `positions` with the picture and timing already placed at `from`.
  void place_again(size_t from, const std::vector<size_t>& positions);

 private:
  void copy_slot(size_t from, size_t to);

  Decoder& decoder_;
  const PictureFormat& format_;
  const std::vector<Transform>& transforms_;
  Batch& batch_;
};

// One selection per distinct pts, in ascending pts order, each with the positions
// that asked for it.
Plan plan_frames(const VideoRequest::Frames& request);

// Reaches and places the frame of every selection, in plan order.
Status run_frame_plan(Decoder& decoder, const Plan& plan, Placer& placer);

}  // namespace ffmpeg
