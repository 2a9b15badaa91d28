#include "ffmpeg/video/placer.hpp"

namespace ffmpeg {

Status Placer::place(const AVFrame& frame, const std::vector<size_t>& positions) {
  TRY_ASSIGN(const int64_t timestamp, frame_timestamp(frame));
  if (frame.width != decoder_.width() || frame.height != decoder_.height())
    return Error::runtime("dynamic frame dimensions are unsupported");
  if (format_.type == OutputType::Native && frame.format != decoder_.pixel_format())
    return Error::invalid("pixel format changed within stream");
  const size_t first = positions.front();
  TRY(pictures_.write(frame, format_, transforms_, batch_, first));
  const Rational tb = decoder_.time_base();
  batch_.set_timing(first, frame_seconds(tb, timestamp), frame_seconds(tb, frame.duration));
  for (size_t p : positions)
    if (p != first) batch_.copy(first, p);
  return ok();
}

void Placer::place_again(size_t from, const std::vector<size_t>& positions) {
  for (size_t p : positions) batch_.copy(from, p);
}

}  // namespace ffmpeg
