// Placing a chosen frame into the batch, shared by frame and timestamp requests.
#include <cstring>

#include "ffmpeg/video/selection.hpp"

namespace ffmpeg {

Status Placer::place(const AVFrame& frame, const std::vector<size_t>& positions) {
  TRY_ASSIGN(const int64_t timestamp, frame_timestamp(&frame));
  if (frame.width != decoder_.width || frame.height != decoder_.height)
    return Error::runtime("dynamic frame dimensions are unsupported");
  if (format_.type == OutputType::Native && frame.format != decoder_.pixel_format)
    return Error::invalid("pixel format changed within stream");
  const size_t first = positions.front();
  if (transforms_.empty() && converts_in_place(frame, format_)) {
    // Converted straight into its slot: no copy between the converter and the array.
    TRY(convert_frame_into(decoder_, frame, format_,
                           batch_.pixels.bytes() + first * batch_.picture_bytes));
  } else {
    TRY_ASSIGN(Picture picture, convert_frame(decoder_, frame, format_));
    TRY_ASSIGN(picture, apply_transforms(decoder_.transforms, transforms_, picture, format_.rgb_format));
    TRY(write_picture(picture, format_, batch_, first));
  }
  batch_.starts[first] = frame_seconds(decoder_.time_base, timestamp);
  batch_.durations[first] = frame_seconds(decoder_.time_base, frame.duration);
  for (size_t p : positions)
    if (p != first) copy_slot(first, p);
  return ok();
}

void Placer::place_again(size_t from, const std::vector<size_t>& positions) {
  for (size_t p : positions) copy_slot(from, p);
}

void Placer::copy_slot(size_t from, size_t to) {
  uint8_t* base = batch_.pixels.bytes();
  std::memcpy(base + to * batch_.picture_bytes, base + from * batch_.picture_bytes,
              batch_.picture_bytes);
  batch_.starts[to] = batch_.starts[from];
  batch_.durations[to] = batch_.durations[from];
}

}  // namespace ffmpeg
