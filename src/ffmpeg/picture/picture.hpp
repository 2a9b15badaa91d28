// Views of packed pictures, and picture sizes.
#pragma once

#include <cstdint>

namespace ffmpeg {

struct Size {
  int height = 0;
  int width = 0;
};

// A view of a packed picture in a buffer the engine or the decoder owns (the decoded
// frame, the RGB frame, a resize frame or a rotation buffer). `linesize` is negative
// for a bottom-up picture.
struct Picture {
  uint8_t* data = nullptr;
  int linesize = 0;
  int width = 0;
  int height = 0;
};

}  // namespace ffmpeg
