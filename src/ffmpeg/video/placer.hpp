// Placing a chosen frame into the batch, shared by frame and timestamp requests.
#pragma once

#include <cstddef>
#include <vector>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/picture/batch.hpp"
#include "ffmpeg/picture/color.hpp"
#include "ffmpeg/picture/converter.hpp"
#include "ffmpeg/picture/transforms.hpp"

namespace ffmpeg {

// Puts chosen frames into the batch: one conversion per frame, byte copies for its
// further positions, and the start and duration of each.
class Placer {
 public:
  Placer(const Decoder& decoder, PictureConverter& pictures, const PictureFormat& format,
         const std::vector<Transform>& transforms, Batch& batch)
      : decoder_(decoder),
        pictures_(pictures),
        format_(format),
        transforms_(transforms),
        batch_(batch) {}

  Status place(const AVFrame& frame, const std::vector<size_t>& positions);
  // Fills `positions` with the picture and timing already placed at `from`.
  void place_again(size_t from, const std::vector<size_t>& positions);

 private:
  const Decoder& decoder_;
  PictureConverter& pictures_;
  const PictureFormat& format_;
  const std::vector<Transform>& transforms_;
  Batch& batch_;
};

}  // namespace ffmpeg
