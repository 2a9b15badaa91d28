// Which packets go to the decoder with its unreferenced frames discarded: a frame that
// cannot be the answer and that no later frame is predicted from need not be decoded.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>

#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// What the caller decodes towards. Frames that start before `from` are not wanted. With
// `latest_until`, only the latest frame that starts at or before it is wanted, so a
// frame is not wanted either once a packet starting later, but still at or before
// `latest_until`, has been sent. With `last`, the frame that starts there is the last
// one wanted before the caller seeks: once its packet has been sent, the decoder is
// drained rather than given frames that would only be flushed. With `latest_until` and
// `seek_past`, the caller also wants the first frame after `latest_until` (which shows
// that the frame before it is the answer), and seeks next if that frame starts before
// `seek_past`: once the packets of both frames are known to have been sent, the
// decoder is drained likewise. When no drain is due, `then_until` is the caller's next
// `latest_until`: once both frames are known to have been sent, the aim moves on to it
// (from the lookahead), so that the packets the decoder takes before it outputs them are
// judged by what the next answer needs.
struct Aim {
  static constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
  int64_t from = kNone;
  int64_t latest_until = kNone;
  int64_t last = kNone;
  int64_t seek_past = kNone;
  int64_t then_until = kNone;
};

class FrameSkip {
 public:
  // Whether the stream's decoder reads AVDISCARD_NONREF as "frames that no other frame
  // is predicted from", so that discarding them leaves every other frame as it is.
  static bool suits(const AVStream& stream) noexcept;
  // The most frames of the stream that precede a frame in decoding order and follow it
  // in output order, as its parameter sets state it; none when they do not.
  static std::optional<int> reorder_depth(const AVStream& stream) noexcept;

  // Frames are skipped only when `on`; a known `depth` lets the decoder be drained once
  // the frames a `latest_until` aim wants are known to have been sent.
  void enable(bool on, std::optional<int> depth) noexcept {
    enabled_ = on;
    depth_ = depth;
  }
  // What was learnt of the packets sent since the last aim or seek still holds for an
  // aim that asks the same question (the same latest_until and last): the one the aim
  // moved on to, asked again with the seek point of the second after it.
  void aim(const Aim& aim) noexcept {
    const bool same = aim.latest_until != Aim::kNone && aim.latest_until == aim_.latest_until &&
                      aim.last == aim_.last;
    aim_ = aim;
    if (same) return;
    sent_floor_ = Aim::kNone;
    last_sent_ = false;
    later_ = 0;
    lookahead_ = Aim::kNone;
  }
  // After a seek: what earlier packets said no longer holds, and nothing is skipped yet.
  void restart() noexcept;

  // The discard level for `packet`, about to be sent.
  AVDiscard decide(const AVPacket& packet) noexcept;
  // Whether the decoder is drained instead of being sent `packet`, just read: the packet
  // of the aim's last frame (or of its lookahead) has been sent and this one starts
  // another frame (a packet without a pts may be that frame's second field).
  bool drain_before(const AVPacket& packet) const noexcept;

 private:
  // The aim's answer and lookahead have been sent: on to the next latest_until.
  void move_on() noexcept;
  bool after_lookahead(int64_t pts) const noexcept;

  bool enabled_ = false;
  Aim aim_;
  int64_t sent_floor_ = Aim::kNone;  // the latest sent packet at or before latest_until
  bool last_skipped_ = false;
  bool last_sent_ = false;  // the packet of aim_.last has been sent
  std::optional<int> depth_;
  // Packets read since the aim or the seek that start after aim_.latest_until, and the
  // earliest start among them: the lookahead, once depth_ + 1 of them have been read.
  int later_ = 0;
  int64_t lookahead_ = Aim::kNone;
  // The starts of the latest packets read, to catch a stream that reorders deeper than
  // it states: draining by the depth is then given up for good.
  std::array<int64_t, 16> recent_{};
  size_t recent_count_ = 0;
};

}  // namespace ffmpeg
