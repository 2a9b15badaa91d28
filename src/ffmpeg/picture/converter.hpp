// Picture conversion: a decoded frame to the request's output format, through the
// transforms, into its batch position. The engine keeps one for its whole life, so
// that scalers and buffers are reused across pictures and requests.
#pragma once

#include <cstddef>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/picture/batch.hpp"
#include "ffmpeg/picture/color.hpp"
#include "ffmpeg/picture/transforms.hpp"

namespace ffmpeg {

class PictureConverter {
 public:
  // Allocates the RGB frame; false when it cannot be had.
  bool allocate() noexcept;
  // Releases the resizers, the colour converter, the RGB frame and the rotation buffers.
  void release() noexcept;

  // Converts `frame` to `format`, applies `transforms` and writes the picture into
  // `position` of the batch. RGB output whose rows need no padding is converted
  // straight into the batch; anything else passes through an engine buffer (or, for
  // native output, is copied from the frame's own first plane).
  Status write(const AVFrame& frame, const PictureFormat& format,
               const std::vector<Transform>& transforms, Batch& batch, size_t position);

 private:
  ColorConverter color_;
  TransformState transforms_;
};

}  // namespace ffmpeg
