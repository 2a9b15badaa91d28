#include "ffmpeg/picture/rotation.hpp"

#include <cstddef>
#include <cstring>

namespace ffmpeg {
namespace {

// The pixel loop for one pixel size, so that the copy is a fixed-size move.
template <int B>
void rotate_pixels(const Picture& in, int turns, uint8_t* out, size_t out_linesize, int out_w,
                   int out_h) {
  const int W = in.width, H = in.height;
  for (int y = 0; y < out_h; ++y) {
    uint8_t* dst = out + static_cast<size_t>(y) * out_linesize;
    // Source of (y, x): turns 0: (y, x); 1: (x, W-1-y); 2: (H-1-y, W-1-x); 3: (H-1-x, y).
    const uint8_t* src;
    ptrdiff_t step;  // source bytes between consecutive destination columns
    // One line per case, as in the table above.
    // clang-format off
    switch (turns) {
      case 0: src = in.data + static_cast<ptrdiff_t>(y) * in.linesize; step = B; break;
      case 1: src = in.data + static_cast<ptrdiff_t>(W - 1 - y) * B; step = in.linesize; break;
      case 2: src = in.data + static_cast<ptrdiff_t>(H - 1 - y) * in.linesize + static_cast<ptrdiff_t>(W - 1) * B; step = -B; break;
      default: src = in.data + static_cast<ptrdiff_t>(H - 1) * in.linesize + static_cast<ptrdiff_t>(y) * B; step = -static_cast<ptrdiff_t>(in.linesize); break;
    }
    // clang-format on
    if (turns == 0) {
      std::memcpy(dst, src, static_cast<size_t>(out_w) * B);
      continue;
    }
    for (int x = 0; x < out_w; ++x, src += step)
      std::memcpy(dst + static_cast<size_t>(x) * B, src, B);
  }
}

}  // namespace

Picture rotate(const Picture& in, int turns, int bytes_per_pixel, std::vector<uint8_t>& out) {
  const int out_w = turns % 2 ? in.height : in.width;
  const int out_h = turns % 2 ? in.width : in.height;
  // Rows padded to a multiple of 64 bytes, with room for one pixel more: a resize of an
  // odd width writes a copy of the last pixel there (see the resize step).
  const size_t linesize = (static_cast<size_t>(out_w + 1) * bytes_per_pixel + 63) / 64 * 64;
  out.resize(linesize * static_cast<size_t>(out_h) + 64);
  if (out_w > 0 && out_h > 0) {
    if (bytes_per_pixel == 6) rotate_pixels<6>(in, turns, out.data(), linesize, out_w, out_h);
    else rotate_pixels<3>(in, turns, out.data(), linesize, out_w, out_h);
  }
  return Picture{out.data(), static_cast<int>(linesize), out_w, out_h};
}

}  // namespace ffmpeg
