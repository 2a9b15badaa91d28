// Crop, resize and rotate steps applied to each RGB picture before it is written
// into the batch.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "ffmpeg/error.hpp"
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

struct Size {
  int height = 0;
  int width = 0;
};
// Checks every step against the picture it receives and gives the output size.
Result<Size> output_size(const std::vector<Transform>& transforms, Size input);

// A view of an RGB picture in an engine buffer (RGB frame, resize frame or rotation
// buffer), which the steps may write to: `bytes_per_pixel` = 3 x sample size.
struct Picture {
  uint8_t* data = nullptr;
  int linesize = 0;
  int width = 0;
  int height = 0;
};

// One scaler with its own output frame, rebuilt only when its key changes.
struct Resizer {
  struct Key {
    int src_width = 0, src_height = 0, dst_width = 0, dst_height = 0, format = 0;
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

// Applies the steps to `picture` (pixel format `format`: RGB24 or RGB48LE) and
// returns the transformed view, which points into `state` or into `picture`.
Result<Picture> apply_transforms(TransformState& state, const std::vector<Transform>& transforms,
                                 Picture picture, int format);

// Writes `turns` quarter turns of `in` into `out` (resized as needed) and returns the
// rotated view; rows padded to a multiple of 64 bytes with room for one pixel more.
Picture rotate(const Picture& in, int turns, int bytes_per_pixel, std::vector<uint8_t>& out);

}  // namespace ffmpeg
