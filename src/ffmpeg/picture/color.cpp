// Output sample types, colour conversion with libswscale, the row copy into the batch
// and the final pass to the array's element type.
#include "ffmpeg/picture/color.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace ffmpeg {
namespace {

// Makes the converter ready for `f`: rebuilt if its key changed, with the frame's
// range and matrix applied.
Result<SwsContext*> prepare_converter(Decoder& d, const AVFrame& f, AVPixelFormat destination) {
  const ColorKey key{f.width, f.height, f.format, destination};
  if (d.color_key != key) {
    d.color_converter.reset(sws_getContext(f.width, f.height, static_cast<AVPixelFormat>(f.format),
                                           f.width, f.height, destination, 0, nullptr, nullptr,
                                           nullptr));
    // Kept even for a failed creation: the same frames would fail again.
    d.color_key = key;
  }
  SwsContext* sws = d.color_converter.get();
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

Result<Picture> convert_rgb(Decoder& d, const AVFrame& f, AVPixelFormat destination) {
  TRY_ASSIGN(SwsContext* const sws, prepare_converter(d, f, destination));
  AVFrame* rgb = d.rgb_frame.get();
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

// Rewrites the 16-bit samples of `bytes` as native uint16 values, in place.
void to_native_uint16(uint8_t* bytes, size_t count, bool big_endian) {
  if (big_endian == (std::endian::native == std::endian::big)) return;  // already native
  for (size_t i = 0; i < count; ++i) std::swap(bytes[2 * i], bytes[2 * i + 1]);
}

// Widens little-endian 16-bit samples to floats in 0..1 inside a buffer that already
// has room for `count` floats. Works from the end, one block at a time through a small
// copy, so that no sample is overwritten before it is read.
void to_unit_float(uint8_t* bytes, size_t count) {
  constexpr size_t kBlock = 4096;
  uint16_t block[kBlock];
  size_t end = count;
  while (end > 0) {
    const size_t start = end > kBlock ? end - kBlock : 0;
    const size_t n = end - start;
    const uint8_t* source = bytes + 2 * start;
    for (size_t i = 0; i < n; ++i)
      block[i] = static_cast<uint16_t>(source[2 * i] | (source[2 * i + 1] << 8));
    float* out = reinterpret_cast<float*>(bytes + 4 * start);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(block[i]) / 65535.0f;
    end = start;
  }
}

}  // namespace

Result<OutputType> output_type(std::string_view text) {
  if (text == "uint8") return OutputType::UInt8;
  if (text == "uint16") return OutputType::UInt16;
  if (text == "float32") return OutputType::Float32;
  if (text == "native") return OutputType::Native;
  return Error::invalid("invalid video output dtype");
}

Result<PictureFormat> picture_format(OutputType type, int pixel_format) {
  switch (type) {
    case OutputType::UInt8: return PictureFormat{type, 3, 1, AV_PIX_FMT_RGB24, false};
    case OutputType::UInt16:
    case OutputType::Float32: return PictureFormat{type, 3, 2, AV_PIX_FMT_RGB48LE, false};
    case OutputType::Native: break;
  }
  PictureFormat f{type, 0, 0, AV_PIX_FMT_NONE, false};
  switch (static_cast<AVPixelFormat>(pixel_format)) {
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

Result<Picture> convert_frame(Decoder& decoder, const AVFrame& frame, const PictureFormat& format) {
  if (format.type != OutputType::Native) return convert_rgb(decoder, frame, format.rgb_format);
  return Picture{frame.data[0], frame.linesize[0], frame.width, frame.height};
}

bool converts_in_place(const AVFrame& frame, const PictureFormat& format) {
  // swscale's vector loops convert whole blocks of pixels; with a row length that is a
  // multiple of 16 pixels they neither round the row down to the destination stride
  // nor write past it, so a packed slot gets exactly the pixels a padded frame would.
  return format.type != OutputType::Native && frame.width > 0 && frame.width % 16 == 0;
}

Status convert_frame_into(Decoder& d, const AVFrame& frame, const PictureFormat& format,
                          uint8_t* slot) {
  TRY_ASSIGN(SwsContext* const sws, prepare_converter(d, frame, format.rgb_format));
  uint8_t* const planes[4] = {slot, nullptr, nullptr, nullptr};
  const int line_sizes[4] = {frame.width * format.channels * format.sample_bytes, 0, 0, 0};
  if (sws_scale(sws, frame.data, frame.linesize, 0, frame.height, planes, line_sizes) !=
      frame.height)
    return Error::runtime("color conversion failed");
  return ok();
}

Status write_picture(const Picture& picture, const PictureFormat& format, Batch& batch,
                     size_t position) {
  const size_t row = static_cast<size_t>(picture.width) * static_cast<size_t>(format.channels) *
                     static_cast<size_t>(format.sample_bytes);
  const size_t stride = static_cast<size_t>(std::abs(static_cast<ptrdiff_t>(picture.linesize)));
  if (!picture.data || row > stride) return Error::runtime("invalid decoded frame stride");
  // The geometry checks before decoding make this hold; a mismatch would write out of
  // the slot, so it is refused rather than trusted.
  if (row != batch.row_bytes || row * static_cast<size_t>(picture.height) != batch.picture_bytes)
    return Error::runtime("picture does not match the output size");
  uint8_t* out = batch.pixels.bytes() + position * batch.picture_bytes;
  if (static_cast<ptrdiff_t>(picture.linesize) == static_cast<ptrdiff_t>(row)) {
    std::memcpy(out, picture.data, batch.picture_bytes);
    return ok();
  }
  const uint8_t* in = picture.data;
  // A negative line size (a bottom-up picture) walks upwards through memory.
  for (int y = 0; y < picture.height; ++y, out += row, in += picture.linesize)
    std::memcpy(out, in, row);
  return ok();
}

Result<OwnedBuffer> finish_batch(Batch& batch, const PictureFormat& format) {
  if (format.sample_bytes == 1) return std::move(batch.pixels);
  const size_t count = batch.picture_bytes * batch.starts.size() / 2;  // 16-bit samples written
  if (format.type != OutputType::Float32) {
    to_native_uint16(batch.pixels.bytes(), count, format.big_endian);
    void* data = batch.pixels.data();
    const auto release = batch.pixels.release();
    return OwnedBuffer(data, count, count, ElementType::UInt16, release);
  }
  // The batch has room for the floats (allocate_batch): widen in place, from the end.
  void* data = batch.pixels.data();
  to_unit_float(static_cast<uint8_t*>(data), count);
  const auto release = batch.pixels.release();
  return OwnedBuffer(data, count, count, ElementType::Float32, release);
}

}  // namespace ffmpeg
