// The buffer of a video request: N pictures of H x W x C samples of S bytes, packed in
// C order, with the start and duration of each picture in seconds. Allocated before
// anything is decoded, filled position by position, then turned into the array's
// element type in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/output/buffer.hpp"
#include "ffmpeg/picture/color.hpp"
#include "ffmpeg/picture/picture.hpp"

namespace ffmpeg {

// One picture per requested position, in position order, with the start and duration
// in seconds of the frame placed at each.
struct VideoResult {
  OwnedBuffer frames;
  std::array<size_t, 4> shape{};  // (N, H, W, C)
  std::vector<double> starts;
  std::vector<double> durations;
};

class Batch {
 public:
  // Size checks ("frame is too large", "batch is too large") and the allocation of
  // `count` pictures of `size` in `format`, with room for the final element type (4
  // bytes per sample when 16-bit samples are widened to float at the end). The
  // contents start unspecified (large blocks come from the block pool uncleared):
  // every position is written before the batch becomes an array.
  static Result<Batch> allocate(size_t count, Size size, const PictureFormat& format);

  // Where the picture of `position` starts, for a conversion that writes it itself
  // (rows packed, no padding).
  uint8_t* slot(size_t position) noexcept { return pixels_.bytes() + position * picture_bytes_; }

  // Copies `picture` row by row into `position`.
  Status write(const Picture& picture, size_t position);
  void set_timing(size_t position, double start, double duration) noexcept {
    starts_[position] = start;
    durations_[position] = duration;
  }
  // Gives `to` the picture and timing already written at `from`.
  void copy(size_t from, size_t to) noexcept;

  // Turns the written bytes into the array's element type, in place, and hands over
  // the buffer and the timing; the batch is empty afterwards.
  VideoResult finish() noexcept;

 private:
  Batch() = default;

  OwnedBuffer pixels_;  // N x P bytes (+ 64 spare bytes never exposed)
  PictureFormat format_;
  Size size_;
  size_t picture_bytes_ = 0;  // P = H x W x C x S
  size_t row_bytes_ = 0;      // R = W x C x S
  std::vector<double> starts_;
  std::vector<double> durations_;
};

}  // namespace ffmpeg
