#include "ffmpeg/engine/frame_skip.hpp"

#include <algorithm>

namespace ffmpeg {
namespace {

// HEVC marks a picture "sub-layer non-reference": no later picture of its own temporal
// sub-layer refers to it, but pictures of higher sub-layers may. Only a stream with one
// sub-layer makes that "no picture at all". Every SPS in the extradata (hvcC or Annex B)
// must say so.
bool hevc_single_sub_layer(const uint8_t* data, int size) {
  constexpr int kSps = 33;
  int found = 0;
  auto sps_ok = [&](const uint8_t* nal, int length) {
    if (length < 3 || ((nal[0] >> 1) & 0x3f) != kSps) return true;
    ++found;
    return ((nal[2] >> 1) & 7) == 0;  // sps_max_sub_layers_minus1
  };
  if (!data || size < 4) return false;
  if (data[0] == 1 && size >= 23) {  // hvcC
    int at = 22;
    const int arrays = data[at++];
    for (int a = 0; a < arrays; ++a) {
      if (at + 3 > size) return false;
      const int count = data[at + 1] << 8 | data[at + 2];
      at += 3;
      for (int n = 0; n < count; ++n) {
        if (at + 2 > size) return false;
        const int length = data[at] << 8 | data[at + 1];
        at += 2;
        if (at + length > size || !sps_ok(data + at, length)) return false;
        at += length;
      }
    }
  } else {  // Annex B: NAL units after 00 00 01 start codes
    for (int i = 0; i + 3 < size; ++i) {
      if (data[i] || data[i + 1] || data[i + 2] != 1) continue;
      if (!sps_ok(data + i + 3, size - i - 3)) return false;
      i += 2;
    }
  }
  return found > 0;
}

}  // namespace

bool FrameSkip::suits(const AVStream& stream) noexcept {
  const AVCodecParameters& par = *stream.codecpar;
  switch (par.codec_id) {
    // nal_ref_idc 0: no frame refers to it. An H.264 stream that does not state its
    // reorder depth is watched (misled()).
    case AV_CODEC_ID_H264:
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

void FrameSkip::restart(int reorder_depth) noexcept {
  sent_floor_ = Aim::kNone;
  last_skipped_ = false;
  skipped_ = false;
  depth_at_restart_ = reorder_depth;
}

AVDiscard FrameSkip::decide(const AVPacket& packet) noexcept {
  if (!enabled_) return AVDISCARD_DEFAULT;
  bool skip;
  if (packet.pts == AV_NOPTS_VALUE) {
    // Either the second field of the frame before (split fields carry one pts), which
    // goes as its first field did, or a frame of unknown time, which has no timestamp
    // to answer with.
    skip = last_skipped_;
  } else {
    skip = packet.pts < std::max(aim_.from, sent_floor_);
    // Packets flagged for discard produce no frame, so they prove nothing.
    if (aim_.latest_until != Aim::kNone && packet.pts <= aim_.latest_until &&
        !(packet.flags & AV_PKT_FLAG_DISCARD))
      sent_floor_ = std::max(sent_floor_, packet.pts);
  }
  last_skipped_ = skip;
  skipped_ = skipped_ || skip;
  return skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

}  // namespace ffmpeg
