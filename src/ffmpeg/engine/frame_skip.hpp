// Which packets go to the decoder with its unreferenced frames discarded: a frame that
// cannot be the answer and that no later frame is predicted from need not be decoded.
#pragma once

#include <cstdint>
#include <limits>

#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// What the caller decodes towards. Frames that start before `from` are not wanted. With
// `latest_until`, only the latest frame that starts at or before it is wanted, so a
// frame is not wanted either once a packet starting later, but still at or before
// `latest_until`, has been sent.
struct Aim {
  static constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
  int64_t from = kNone;
  int64_t latest_until = kNone;
};

class FrameSkip {
 public:
  // Whether the stream's decoder reads AVDISCARD_NONREF as "frames that no other frame
  // is predicted from", so that discarding them leaves every other frame as it is.
  static bool suits(const AVStream& stream) noexcept;

  void enable(bool on) noexcept { enabled_ = on; }
  void aim(const Aim& aim) noexcept {
    aim_ = aim;
    sent_floor_ = Aim::kNone;
  }
  // After a seek: what earlier packets said no longer holds, and nothing is skipped yet.
  void restart(int reorder_depth) noexcept;

  // The discard level for `packet`, about to be sent.
  AVDiscard decide(const AVPacket& packet) noexcept;

  // Frames were discarded since the last seek while the decoder's reorder depth grew
  // from `reorder_depth`: an H.264 stream that does not state its depth makes the
  // decoder learn it from the pictures it sees, and what it outputs on the way depends
  // on the pictures it was given.
  bool misled(int reorder_depth) const noexcept {
    return skipped_ && reorder_depth != depth_at_restart_;
  }

 private:
  bool enabled_ = false;
  Aim aim_;
  int64_t sent_floor_ = Aim::kNone;  // the latest sent packet at or before latest_until
  bool last_skipped_ = false;
  bool skipped_ = false;
  int depth_at_restart_ = 0;
};

}  // namespace ffmpeg
