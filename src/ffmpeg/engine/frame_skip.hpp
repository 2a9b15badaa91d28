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
// `latest_until`, has been sent. With `last`, the frame that starts there is the last
// one wanted before the caller seeks: once its packet has been sent, the decoder is
// drained rather than given frames that would only be flushed.
struct Aim {
  static constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
  int64_t from = kNone;
  int64_t latest_until = kNone;
  int64_t last = kNone;
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
    last_sent_ = false;
  }
  // After a seek: what earlier packets said no longer holds, and nothing is skipped yet.
  void restart() noexcept;

  // The discard level for `packet`, about to be sent.
  AVDiscard decide(const AVPacket& packet) noexcept;
  // Whether the decoder is drained instead of being sent `packet`, just read: the packet
  // of the aim's last frame has been sent and this one starts another frame (a packet
  // without a pts may be that frame's second field).
  bool drain_before(const AVPacket& packet) const noexcept {
    return last_sent_ && packet.pts != AV_NOPTS_VALUE;
  }

 private:
  bool enabled_ = false;
  Aim aim_;
  int64_t sent_floor_ = Aim::kNone;  // the latest sent packet at or before latest_until
  bool last_skipped_ = false;
  bool last_sent_ = false;  // the packet of aim_.last has been sent
};

}  // namespace ffmpeg
