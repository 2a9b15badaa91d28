// Crop, resize and rotate steps applied to each RGB picture before it is written
// into the batch.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/picture/output_types.hpp"
#include "ffmpeg/picture/picture.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// A step as the caller wrote it: (name, a, b, c, d).
struct TransformSpec {
  std::string name;
  int32_t a = 0, b = 0, c = 0, d = 0;
};

struct Crop {
  int32_t top, left, height, width;
};
struct Resize {
  int32_t height, width;
};
struct Rotate {
  int turns;  // quarter turns counter-clockwise, 0 to 3
};
using Transform = std::variant<Crop, Resize, Rotate>;

// "invalid transform" for an unknown name.
Result<std::vector<Transform>> parse_transforms(const std::vector<TransformSpec>& specs);

// Checks every step against the picture it receives and gives the output size.
Result<Size> output_size(const std::vector<Transform>& transforms, Size input);

// One scaler with its own output frame, rebuilt only when its key changes.
struct Resizer {
  struct Key {
    int src_width = 0, src_height = 0, dst_width = 0, dst_height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool operator==(const Key&) const = default;
  };
  // Declared frame first so that the scaler is released before its frame.
  FramePtr frame;
  SwsContextPtr scaler;
  Key key;
};

// Engine-owned state the steps reuse across pictures and requests.
struct TransformState {
  std::vector<Resizer> resizers;  // one per resize position in a list
  // Rotations alternate between two buffers, so that a rotate whose input is the
  // previous rotate's output (only crops between) never reads what it overwrites.
  std::vector<uint8_t> rotation_buffers[2];
};

// Applies the steps to `picture` (in an RGB type's `format`) and returns
// the transformed view, which points into `state` or into `picture`. Steps may write
// past each row of `picture` (see the resize step), so it must lie in an engine buffer.
Result<Picture> apply_transforms(TransformState& state, const std::vector<Transform>& transforms,
                                 Picture picture, const PictureFormat& format);

}  // namespace ffmpeg
