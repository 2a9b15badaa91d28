// Output sample types and the colour conversion of decoded pictures.
#pragma once

#include <cstddef>
#include <string_view>

#include "ffmpeg/buffer.hpp"
#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/picture/transforms.hpp"

namespace ffmpeg {

enum class OutputType { UInt8, UInt16, Float32, Native };

// "uint8", "uint16", "float32" or "native", compared exactly.
Result<OutputType> output_type(std::string_view text);

// How pictures of one request are laid out in the batch.
struct PictureFormat {
  OutputType type = OutputType::UInt8;
  int channels = 3;      // samples per pixel
  int sample_bytes = 1;  // bytes per sample while pictures are written
  // The converter's output for RGB types; AV_PIX_FMT_NONE for native output.
  AVPixelFormat rgb_format = AV_PIX_FMT_NONE;
  bool big_endian = false;  // native 16-bit samples stored high byte first
};

// The layout for `type` given the stream's recorded pixel format; native output is
// offered for six packed formats only.
Result<PictureFormat> picture_format(OutputType type, int pixel_format);

// The frame as a packed picture in the request's format: converted to RGB into the
// engine's RGB frame, or plane 0 of the frame itself for native output. The result
// is valid until the next conversion or the next decoded frame.
Result<Picture> convert_frame(Decoder& decoder, const AVFrame& frame, const PictureFormat& format);

// Whether an RGB conversion of `frame` may write straight into a packed batch slot.
bool converts_in_place(const AVFrame& frame, const PictureFormat& format);
// Converts the frame to RGB straight into `slot`, rows packed with no padding.
Status convert_frame_into(Decoder& decoder, const AVFrame& frame, const PictureFormat& format,
                          uint8_t* slot);

// Copies `picture` row by row into picture slot `position` of the batch.
Status write_picture(const Picture& picture, const PictureFormat& format, Batch& batch,
                     size_t position);

// Turns the finished byte batch into the array's element type, in place.
Result<OwnedBuffer> finish_batch(Batch& batch, const PictureFormat& format);

}  // namespace ffmpeg
