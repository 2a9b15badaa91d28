// Quarter turns of a packed RGB picture into a reusable buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/picture/picture.hpp"

namespace ffmpeg {

// Writes `turns` quarter turns counter-clockwise of `in` into `out` (resized as needed)
// and returns the rotated view; rows padded to a multiple of 64 bytes with room for
// one pixel more.
Picture rotate(const Picture& in, int turns, int bytes_per_pixel, std::vector<uint8_t>& out);

}  // namespace ffmpeg
