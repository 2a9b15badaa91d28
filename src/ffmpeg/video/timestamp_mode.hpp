// Frames showing at given seconds. The request holds a reference to the frame showing
// (the retained frame) while the engine decodes the next one (the lookahead) into its
// own frame; it seeks only when the index shows a key frame between the lookahead and
// the next second.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/video/placer.hpp"

namespace ffmpeg {

class TimestampMode {
 public:
  // "cannot allocate lookahead frame" when the request's frame cannot be made.
  static Result<TimestampMode> create(Decoder& d);

  // Answers strictly increasing seconds in turn; the i-th goes to position i.
  Status run(const std::vector<double>& seconds, Placer& placer);

 private:
  TimestampMode(Decoder& d, FramePtr retained) : d_(&d), retained_(std::move(retained)) {}
  // `next`: the second asked for after t, if any.
  Status answer(double t, std::optional<double> next);
  Status seek_back(double t, int64_t tp);
  // The key frame a seek to `tp` resumes at; none when neither index nor map tells.
  std::optional<int64_t> key_frame_for(int64_t tp) const noexcept;
  Status decode_forward(double t, int64_t prev);
  Status final_frame_check(double t);

  Decoder* d_;
  // A second reference to the frame answering the last second (no copy of its data);
  // freed with the request.
  FramePtr retained_;
  bool has_frame_ = false;
  bool at_end_ = false;  // the retained frame is the stream's last
  int64_t seek_past_ = Aim::kNone;  // the aim's seek_past for the second being answered
  int64_t then_until_ = Aim::kNone;  // and its then_until: the next second, in pts
};

}  // namespace ffmpeg
