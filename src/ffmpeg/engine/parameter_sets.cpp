#include "ffmpeg/engine/parameter_sets.hpp"

#include <algorithm>

namespace ffmpeg {
namespace {

// Calls `nal(begin, length)` for each NAL unit of the extradata, stopping with false as
// soon as it returns false. `avc` tells the avcC layout (SPS first, after a 6-byte
// header) from hvcC's (arrays after a 22-byte header); extradata that does not start
// with version 1 is Annex B, NAL units after 00 00 01 start codes.
template <class Nal>
bool each_nal(const uint8_t* data, int size, bool avc, Nal nal) {
  if (!data || size < 4) return false;
  auto entry = [&](int& at) {
    if (at + 2 > size) return false;
    const int length = data[at] << 8 | data[at + 1];
    at += 2;
    if (at + length > size || !nal(data + at, length)) return false;
    at += length;
    return true;
  };
  if (data[0] == 1 && avc) {  // avcC: the SPS list (the PPS list follows)
    if (size < 7) return false;
    int at = 6;
    for (int n = data[5] & 0x1f; n > 0; --n)
      if (!entry(at)) return false;
    return true;
  }
  if (data[0] == 1) {  // hvcC
    if (size < 23) return false;
    int at = 22;
    for (int arrays = data[at++]; arrays > 0; --arrays) {
      if (at + 3 > size) return false;
      int count = data[at + 1] << 8 | data[at + 2];
      at += 3;
      for (; count > 0; --count)
        if (!entry(at)) return false;
    }
    return true;
  }
  auto start_code = [&](int i) { return i + 2 < size && !data[i] && !data[i + 1] && data[i + 2] <= 1; };
  for (int i = 0; i + 3 < size; ++i) {
    if (!start_code(i) || data[i + 2] != 1) continue;
    int end = i + 3;
    while (end < size && !start_code(end)) ++end;
    if (!nal(data + i + 3, end - i - 3)) return false;
    i = end - 1;
  }
  return true;
}

// Reads a NAL unit's payload bit by bit, leaving out its emulation prevention bytes
// (00 00 03); reading past its end sets `overrun` and yields zeros.
class Bits {
 public:
  Bits(const uint8_t* nal, int length) : nal_(nal), length_(length) {}
  bool overrun = false;

  uint32_t u(int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) {
      if (bit_ == 8 && !next_byte()) {
        overrun = true;
        return 0;
      }
      v = v << 1 | ((nal_[at_] >> (7 - bit_)) & 1);
      ++bit_;
    }
    return v;
  }
  uint32_t ue() {
    int zeros = 0;
    while (!u(1) && !overrun)
      if (++zeros > 31) overrun = true;
    return overrun ? 0 : (uint32_t{1} << zeros) - 1 + u(zeros);
  }
  int32_t se() {
    const uint32_t v = ue();
    return v & 1 ? static_cast<int32_t>((v + 1) / 2) : -static_cast<int32_t>(v / 2);
  }

 private:
  bool next_byte() {
    zeros_ = at_ >= 0 && !nal_[at_] ? zeros_ + 1 : 0;
    ++at_;
    if (zeros_ >= 2 && at_ < length_ && nal_[at_] == 3) {
      zeros_ = 0;
      ++at_;
    }
    bit_ = 0;
    return at_ < length_;
  }

  const uint8_t* nal_;
  int length_;
  int at_ = -1;  // the byte being read
  int bit_ = 8;  // the next bit of it
  int zeros_ = 0;
};

void skip_scaling_list(Bits& b, int count) {
  int64_t last = 8, next = 8;
  for (int j = 0; j < count; ++j) {
    if (next) next = ((last + b.se()) % 256 + 256) % 256;  // delta_scale, any value
    last = next ? next : last;
  }
}

void skip_hrd_parameters(Bits& b) {
  const uint32_t count = b.ue() + 1;  // cpb_cnt_minus1
  b.u(8);                             // bit_rate_scale, cpb_size_scale
  for (uint32_t i = 0; i < count && i < 32 && !b.overrun; ++i) {
    b.ue();
    b.ue();
    b.u(1);
  }
  b.u(20);  // four 5-bit lengths and delays
}

// An H.264 SPS (NAL header included) up to max_num_reorder_frames, as the standard's
// seq_parameter_set_data and vui_parameters lay it out; none when it does not state it.
std::optional<uint32_t> sps_reorder_depth(const uint8_t* nal, int length) {
  Bits b(nal, length);
  b.u(8);  // NAL header
  const uint32_t profile = b.u(8);
  b.u(16);  // constraint flags, level
  b.ue();   // seq_parameter_set_id
  switch (profile) {
    // The profiles whose SPS carries chroma format and bit depths, as FFmpeg's decoder
    // reads them (144 is the old High 4:4:4).
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118:
    case 128: case 138: case 144: {
      const uint32_t chroma_format = b.ue();
      if (chroma_format == 3) b.u(1);  // separate_colour_plane_flag
      b.ue();                          // bit_depth_luma_minus8
      b.ue();                          // bit_depth_chroma_minus8
      b.u(1);                          // qpprime_y_zero_transform_bypass_flag
      if (b.u(1)) {                    // seq_scaling_matrix_present_flag
        const int lists = chroma_format == 3 ? 12 : 8;
        for (int i = 0; i < lists; ++i)
          if (b.u(1)) skip_scaling_list(b, i < 6 ? 16 : 64);
      }
      break;
    }
    default:
      break;
  }
  b.ue();  // log2_max_frame_num_minus4
  const uint32_t poc_type = b.ue();
  if (poc_type == 0) {
    b.ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (poc_type == 1) {
    b.u(1);  // delta_pic_order_always_zero_flag
    b.se();  // offset_for_non_ref_pic
    b.se();  // offset_for_top_to_bottom_field
    const uint32_t cycle = b.ue();
    for (uint32_t i = 0; i < cycle && i < 256 && !b.overrun; ++i) b.se();
  }
  b.ue();                // max_num_ref_frames
  b.u(1);                // gaps_in_frame_num_value_allowed_flag
  b.ue();                // pic_width_in_mbs_minus1
  b.ue();                // pic_height_in_map_units_minus1
  if (!b.u(1)) b.u(1);   // frame_mbs_only_flag, mb_adaptive_frame_field_flag
  b.u(1);                // direct_8x8_inference_flag
  if (b.u(1))            // frame_cropping_flag
    for (int i = 0; i < 4; ++i) b.ue();
  if (!b.u(1)) return std::nullopt;         // vui_parameters_present_flag
  if (b.u(1) && b.u(8) == 255) b.u(32);     // aspect_ratio_info, extended SAR
  if (b.u(1)) b.u(1);                       // overscan_info
  if (b.u(1)) {                             // video_signal_type
    b.u(4);                                 // video_format, video_full_range_flag
    if (b.u(1)) b.u(24);                    // colour_description
  }
  if (b.u(1)) {                             // chroma_loc_info
    b.ue();
    b.ue();
  }
  if (b.u(1)) b.u(65);  // timing_info: num_units_in_tick, time_scale, fixed_frame_rate
  const bool nal_hrd = b.u(1);
  if (nal_hrd) skip_hrd_parameters(b);
  const bool vcl_hrd = b.u(1);
  if (vcl_hrd) skip_hrd_parameters(b);
  if (nal_hrd || vcl_hrd) b.u(1);  // low_delay_hrd_flag
  b.u(1);                          // pic_struct_present_flag
  if (!b.u(1)) return std::nullopt;  // bitstream_restriction_flag
  b.u(1);                            // motion_vectors_over_pic_boundaries_flag
  for (int i = 0; i < 4; ++i) b.ue();  // max_bytes_per_pic_denom ... log2_max_mv_length_vertical
  const uint32_t depth = b.ue();       // max_num_reorder_frames
  b.ue();                              // max_dec_frame_buffering
  if (b.overrun) return std::nullopt;
  return depth;
}

}  // namespace

std::optional<int> h264_reorder_depth(const uint8_t* data, int size) noexcept {
  constexpr int kSps = 7;
  int found = 0;
  uint32_t deepest = 0;
  const bool all = each_nal(data, size, true, [&](const uint8_t* nal, int length) {
    if (length < 1 || (nal[0] & 0x1f) != kSps) return true;
    ++found;
    const std::optional<uint32_t> depth = sps_reorder_depth(nal, length);
    if (depth) deepest = std::max(deepest, *depth);
    return depth.has_value();
  });
  // The standard bounds the depth by the decoded picture buffer (16 frames at most).
  if (!all || found == 0 || deepest > 16) return std::nullopt;
  return static_cast<int>(deepest);
}

bool hevc_single_sub_layer(const uint8_t* data, int size) noexcept {
  constexpr int kSps = 33;
  int found = 0;
  const bool all = each_nal(data, size, false, [&](const uint8_t* nal, int length) {
    if (length < 3 || ((nal[0] >> 1) & 0x3f) != kSps) return true;
    ++found;
    return ((nal[2] >> 1) & 7) == 0;  // sps_max_sub_layers_minus1
  });
  return all && found > 0;
}

}  // namespace ffmpeg
