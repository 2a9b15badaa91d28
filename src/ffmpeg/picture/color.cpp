// The output-type table and colour conversion with libswscale.
#include "ffmpeg/picture/color.hpp"

namespace ffmpeg {

Result<OutputType> output_type(std::string_view text) {
  if (text == "uint8") return OutputType::UInt8;
  if (text == "uint16") return OutputType::UInt16;
  if (text == "float32") return OutputType::Float32;
  if (text == "native") return OutputType::Native;
  return Error::invalid("invalid video output dtype");
}

Result<PictureFormat> picture_format(OutputType type, AVPixelFormat pixel_format) {
  switch (type) {
    case OutputType::UInt8: return PictureFormat{type, 3, 1, AV_PIX_FMT_RGB24, false};
    case OutputType::UInt16:
    case OutputType::Float32: return PictureFormat{type, 3, 2, AV_PIX_FMT_RGB48LE, false};
    case OutputType::Native: break;
  }
  PictureFormat f{type, 0, 0, AV_PIX_FMT_NONE, false};
  switch (pixel_format) {
    case AV_PIX_FMT_RGB24: f.channels = 3, f.sample_bytes = 1; break;
    case AV_PIX_FMT_GRAY8: f.channels = 1, f.sample_bytes = 1; break;
    case AV_PIX_FMT_RGBA: f.channels = 4, f.sample_bytes = 1; break;
    case AV_PIX_FMT_GRAY16BE: f.channels = 1, f.sample_bytes = 2, f.big_endian = true; break;
    case AV_PIX_FMT_GRAY16LE:
    case AV_PIX_FMT_GRAY12LE: f.channels = 1, f.sample_bytes = 2; break;
    default: return Error::invalid("native output does not support this pixel format");
  }
  return f;
}

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

void ColorConverter::release() noexcept {
  context_.reset();
  key_.reset();
  rgb_frame_.reset();
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
  const int line_sizes[4] = {frame.width * format.channels * format.sample_bytes, 0, 0, 0};
  if (sws_scale(sws, frame.data, frame.linesize, 0, frame.height, planes, line_sizes) !=
      frame.height)
    return Error::runtime("color conversion failed");
  return ok();
}

}  // namespace ffmpeg
