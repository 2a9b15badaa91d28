#include "ffmpeg/engine/frame_skip.hpp"

#include <algorithm>

#include "ffmpeg/engine/parameter_sets.hpp"

namespace ffmpeg {

bool FrameSkip::suits(const AVStream& stream) noexcept {
  const AVCodecParameters& par = *stream.codecpar;
  switch (par.codec_id) {
    // nal_ref_idc 0: no frame refers to it. A stream that does not state its reorder
    // depth makes the decoder learn it from the pictures it decodes: with some left
    // out, it learns too little, outputs a frame too early and then drops the frames
    // that should have come before it.
    case AV_CODEC_ID_H264:
      return h264_reorder_depth(par.extradata, par.extradata_size).has_value();
    // B-pictures, which no picture refers to.
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
      return true;
    case AV_CODEC_ID_HEVC:
      return hevc_single_sub_layer(par.extradata, par.extradata_size);
    // Others ignore the level (VP9, AV1) or tie a frame to a packet loosely (MPEG-4
    // part 2 packs a B-frame into the packet of the frame after it).
    default:
      return false;
  }
}

std::optional<int> FrameSkip::reorder_depth(const AVStream& stream) noexcept {
  const AVCodecParameters& par = *stream.codecpar;
  switch (par.codec_id) {
    case AV_CODEC_ID_H264:
      return h264_reorder_depth(par.extradata, par.extradata_size);
    // A B-picture follows only the reference picture sent before it.
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
      return 1;
    default:
      return std::nullopt;
  }
}

bool FrameSkip::after_lookahead(int64_t pts) const noexcept {
  // A frame that starts after a lookahead already read is not the lookahead; when the
  // caller seeks next, nothing after the lookahead is wanted at all.
  return aim_.latest_until != Aim::kNone && lookahead_ != Aim::kNone && pts > lookahead_ &&
         lookahead_ < aim_.seek_past;
}

void FrameSkip::move_on() noexcept {
  const int64_t lookahead = lookahead_;
  aim(Aim{.from = lookahead, .latest_until = aim_.then_until});
}

void FrameSkip::restart() noexcept {
  sent_floor_ = Aim::kNone;
  last_skipped_ = false;
  last_sent_ = false;
  later_ = 0;
  lookahead_ = Aim::kNone;
  recent_count_ = 0;
}

bool FrameSkip::drain_before(const AVPacket& packet) const noexcept {
  if (packet.pts == AV_NOPTS_VALUE) return false;
  if (last_sent_) return true;
  if (!enabled_ || !depth_ || aim_.latest_until == Aim::kNone || lookahead_ == Aim::kNone ||
      lookahead_ >= aim_.seek_past)
    return false;
  // No frame follows more than depth_ frames in output order that precede it in
  // decoding order. Once depth_ + 1 packets that start after latest_until have been
  // read, no packet to come starts before the earliest of them: the answer and its
  // lookahead have both been sent. This packet counts among them unless it is itself
  // an earlier lookahead, which must still be sent.
  const int later = later_ + (packet.pts > aim_.latest_until && packet.pts > lookahead_ ? 1 : 0);
  return later > *depth_;
}

AVDiscard FrameSkip::decide(const AVPacket& packet) noexcept {
  if (!enabled_) return AVDISCARD_DEFAULT;
  if (depth_ && packet.pts != AV_NOPTS_VALUE) {
    // A packet that follows more of the latest ones in output order than the stated
    // depth allows: the stream reorders deeper than it says.
    int before = 0;
    for (size_t i = 0; i < std::min(recent_count_, recent_.size()); ++i)
      before += recent_[i] > packet.pts ? 1 : 0;
    if (before > *depth_) depth_.reset();
    recent_[recent_count_++ % recent_.size()] = packet.pts;
    // As for the drain: this packet, unless it is an earlier lookahead, is the
    // depth_ + 1-th that shows the answer and its lookahead to have been sent.
    if (depth_ && aim_.latest_until != Aim::kNone && aim_.then_until > aim_.latest_until &&
        lookahead_ != Aim::kNone && lookahead_ >= aim_.seek_past && packet.pts > lookahead_ &&
        later_ + 1 > *depth_)
      move_on();
    if (aim_.latest_until != Aim::kNone && packet.pts > aim_.latest_until) {
      ++later_;
      lookahead_ = lookahead_ == Aim::kNone ? packet.pts : std::min(lookahead_, packet.pts);
    }
  }
  bool skip;
  if (packet.pts == AV_NOPTS_VALUE) {
    // Either the second field of the frame before (split fields carry one pts), which
    // goes as its first field did, or a frame of unknown time, which has no timestamp
    // to answer with.
    skip = last_skipped_;
  } else {
    skip = packet.pts < std::max(aim_.from, sent_floor_) || after_lookahead(packet.pts);
    // Only where frames and packets correspond one to one (as they do for the codecs
    // whose frames are skipped) does the packet's pts name the frame it holds.
    last_sent_ = last_sent_ || packet.pts == aim_.last;
    // Packets flagged for discard produce no frame, so they prove nothing.
    if (aim_.latest_until != Aim::kNone && packet.pts <= aim_.latest_until &&
        !(packet.flags & AV_PKT_FLAG_DISCARD))
      sent_floor_ = std::max(sent_floor_, packet.pts);
  }
  last_skipped_ = skip;
  return skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

}  // namespace ffmpeg
