// Frames showing at given seconds: a retained frame and a lookahead frame that
// exchange roles by pointer, seeking only when the index shows a key frame between
// the retained frame and the next second.
#pragma once

#include <cstddef>
#include <vector>

#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

class Placer;

class TimestampMode {
 public:
  // "cannot allocate lookahead frame" when the spare frame cannot be made.
  static Result<TimestampMode> create(Decoder& d);

  // Answers strictly increasing seconds in turn; the i-th goes to position i.
  Status run(const std::vector<double>& seconds, Placer& placer);

 private:
  explicit TimestampMode(Decoder& d, FramePtr lookahead) : d_(&d), lookahead_(std::move(lookahead)) {}
  Status answer(double t);
  Status seek_back(double t, int64_t tp);
  Status decode_forward(double t, int64_t prev);
  Status final_frame_check(double t);
  void exchange() { std::swap(d_->frame, lookahead_); }

  Decoder* d_;
  // Freed at the end of the request, whichever object holds this role by then.
  FramePtr lookahead_;
  bool has_frame_ = false;
  bool at_end_ = false;
};

}  // namespace ffmpeg
