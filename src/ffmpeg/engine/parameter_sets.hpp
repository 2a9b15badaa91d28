// What the sequence parameter sets in a stream's extradata (avcC / hvcC, or Annex B
// NAL units after start codes) say about how its frames refer to each other. Read
// once at open; anything that cannot be parsed answers "no".
#pragma once

#include <cstdint>
#include <optional>

namespace ffmpeg {

// The reorder depth that every H.264 SPS there is states (bitstream_restriction_flag,
// with max_num_reorder_frames), the largest of them: no frame follows more than that
// many frames in output order that precede it in decoding order. None when an SPS
// leaves it out; the decoder then learns the depth from the order of the pictures it
// decodes, so leaving pictures out changes which ones it outputs.
std::optional<int> h264_reorder_depth(const uint8_t* data, int size) noexcept;

// Every HEVC SPS there is has one temporal sub-layer. HEVC marks a picture
// "sub-layer non-reference": no later picture of its own sub-layer refers to it, but
// pictures of higher sub-layers may; with one sub-layer that means no picture at all.
bool hevc_single_sub_layer(const uint8_t* data, int size) noexcept;

}  // namespace ffmpeg
