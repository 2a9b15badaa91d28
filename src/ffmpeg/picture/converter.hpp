// Picture conversion: a decoded frame to the request's output format, through the
// transforms, into its batch position. A video decoder keeps one for its whole life, so
// that scalers and buffers are reused across pictures and requests.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/picture/batch.hpp"
#include "ffmpeg/picture/color.hpp"
#include "ffmpeg/picture/transforms.hpp"

namespace ffmpeg {

class PictureConverter {
 public:
  PictureConverter(const PictureConverter&) = delete;
  PictureConverter& operator=(const PictureConverter&) = delete;

  // A converter with its RGB frame allocated.
  static Result<std::unique_ptr<PictureConverter>> create();

  // Converts `frame` to `format`, applies `transforms` and writes the picture into
  // `position` of the batch. RGB output whose rows need no padding is converted
  // straight into the batch; anything else passes through an engine buffer (or, for
  // native output, is copied from the frame's own first plane).
  Status write(const AVFrame& frame, const PictureFormat& format,
               const std::vector<Transform>& transforms, Batch& batch, size_t position);

 private:
  PictureConverter() = default;

  ColorConverter color_;
  TransformState transforms_;
};

}  // namespace ffmpeg
