// Colour conversion with libswscale.
#include "ffmpeg/picture/color.hpp"

namespace ffmpeg {

bool converts_in_place(const AVFrame& frame, const PictureFormat& format) {
  // swscale's vector loops convert whole blocks of pixels; with a row length that is a
  // multiple of 16 pixels they neither round the row down to the destination stride
  // nor write past it, so a packed slot gets exactly the pixels a padded frame would.
  return format.type != OutputType::Native && frame.width > 0 && frame.width % 16 == 0;
}

bool ColorConverter::allocate() noexcept {
  rgb_frame_.reset(av_frame_alloc());
  return rgb_frame_ != nullptr;
}

// Makes the converter ready for `f`: rebuilt if its key changed, with the frame's
// range and matrix applied.
Result<SwsContext*> ColorConverter::prepare(const AVFrame& f, AVPixelFormat destination) {
  const auto source = static_cast<AVPixelFormat>(f.format);
  const Key key{f.width, f.height, source, destination};
  if (key_ != key) {
    context_.reset(sws_getContext(f.width, f.height, source, f.width, f.height, destination, 0,
                                  nullptr, nullptr, nullptr));
    // Kept even for a failed creation: the same frames would fail again.
    key_ = key;
  }
  SwsContext* sws = context_.get();
  if (!sws) return Error::runtime("cannot initialize color conversion");

  // Range and matrix can change from frame to frame, so they are set on every picture;
  // swscale only rebuilds its tables when they actually differ.
  int* inverse_table;
  int* table;
  int source_range, destination_range, brightness, contrast, saturation;
  TRY(check(sws_getColorspaceDetails(sws, &inverse_table, &source_range, &table, &destination_range,
                                     &brightness, &contrast, &saturation),
            "read color conversion settings"));
  if (f.color_range != AVCOL_RANGE_UNSPECIFIED) source_range = f.color_range == AVCOL_RANGE_JPEG;
  // An unspecified matrix selects the library's default table.
  const int* coefficients = sws_getCoefficients(f.colorspace);
  TRY(check(sws_setColorspaceDetails(sws, coefficients, source_range, coefficients,
                                     destination_range, brightness, contrast, saturation),
            "configure color conversion"));
  return sws;
}

Result<Picture> ColorConverter::to_rgb(const AVFrame& f, AVPixelFormat destination) {
  TRY_ASSIGN(SwsContext* const sws, prepare(f, destination));
  AVFrame* rgb = rgb_frame_.get();
  // A buffer whose allocation failed last time is allocated again, not reused.
  if (rgb->width != f.width || rgb->height != f.height || rgb->format != destination ||
      !rgb->data[0]) {
    av_frame_unref(rgb);
    rgb->width = f.width;
    rgb->height = f.height;
    rgb->format = destination;
    TRY(check(av_frame_get_buffer(rgb, 32), "allocate RGB frame"));
  }
  if (sws_scale(sws, f.data, f.linesize, 0, f.height, rgb->data, rgb->linesize) != f.height)
    return Error::runtime("color conversion failed");
  return Picture{rgb->data[0], rgb->linesize[0], f.width, f.height};
}

Status ColorConverter::to_rgb_into(const AVFrame& frame, const PictureFormat& format,
                                   uint8_t* slot) {
  TRY_ASSIGN(SwsContext* const sws, prepare(frame, format.rgb_format));
  uint8_t* const planes[4] = {slot, nullptr, nullptr, nullptr};
  const int line_sizes[4] = {frame.width * format.pixel_bytes(), 0, 0, 0};
  if (sws_scale(sws, frame.data, frame.linesize, 0, frame.height, planes, line_sizes) !=
      frame.height)
    return Error::runtime("color conversion failed");
  return ok();
}

}  // namespace ffmpeg
