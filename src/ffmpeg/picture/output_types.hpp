// What each output type of decoded pictures is, written once: the name callers pass,
// how its pictures are converted and written, and the element type of the array.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "ffmpeg/error.hpp"
#include "ffmpeg/output/buffer.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

enum class OutputType { UInt8, UInt16, Float32, Native };

// How pictures of one request are laid out in the batch.
struct PictureFormat {
  OutputType type = OutputType::UInt8;
  int channels = 3;      // samples per pixel
  int sample_bytes = 1;  // bytes per sample while pictures are written
  // The converter's output for RGB types; AV_PIX_FMT_NONE for native output.
  AVPixelFormat rgb_format = AV_PIX_FMT_NONE;
  bool big_endian = false;  // native 16-bit samples stored high byte first
  // Of the array: 16-bit samples become uint16 or, for float32, are widened at the end.
  ElementType element = ElementType::UInt8;

  int pixel_bytes() const noexcept { return channels * sample_bytes; }
};

struct OutputTypeInfo {
  OutputType type;
  std::string_view name;
  // The RGB types' layout; native output takes its layout from the stream (below).
  PictureFormat format;
};

// Every output type.
std::span<const OutputTypeInfo> output_types() noexcept;

// Native output: the decoded picture's own packed layout, offered for these pixel
// formats only.
std::span<const PictureFormat> native_layouts() noexcept;
std::span<const AVPixelFormat> native_pixel_formats() noexcept;

// The type named `text`, compared exactly.
Result<OutputType> output_type(std::string_view text);

// The layout for `type` given the stream's recorded pixel format.
Result<PictureFormat> picture_format(OutputType type, AVPixelFormat pixel_format);

// The most bytes one pixel of `type` takes in the array (for native output, that of its
// widest layout).
int max_pixel_bytes(const OutputTypeInfo& info) noexcept;

}  // namespace ffmpeg
