// Output sample types and the colour conversion of decoded pictures.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "ffmpeg/error.hpp"
#include "ffmpeg/picture/picture.hpp"
#include "ffmpeg/ptr.hpp"

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
Result<PictureFormat> picture_format(OutputType type, AVPixelFormat pixel_format);

// Whether an RGB conversion of `frame` may write straight into a packed batch slot.
bool converts_in_place(const AVFrame& frame, const PictureFormat& format);

// libswscale's converter from decoded frames to RGB, and the frame it converts into.
class ColorConverter {
 public:
  // Allocates the RGB frame; false when it cannot be had.
  bool allocate() noexcept;
  // Releases the converter, then the RGB frame.
  void release() noexcept;

  // The frame converted to `destination` in the RGB frame, valid until the next
  // conversion.
  Result<Picture> to_rgb(const AVFrame& frame, AVPixelFormat destination);
  // The frame converted to the format's RGB straight into `slot`, rows packed with no
  // padding (see converts_in_place).
  Status to_rgb_into(const AVFrame& frame, const PictureFormat& format, uint8_t* slot);

 private:
  // The sizes and formats the converter was made for; it is rebuilt only when they change.
  struct Key {
    int width = 0;
    int height = 0;
    AVPixelFormat source_format = AV_PIX_FMT_NONE;
    AVPixelFormat destination_format = AV_PIX_FMT_NONE;
    bool operator==(const Key&) const = default;
  };

  Result<SwsContext*> prepare(const AVFrame& frame, AVPixelFormat destination);

  SwsContextPtr context_;
  std::optional<Key> key_;
  FramePtr rgb_frame_;
};

}  // namespace ffmpeg
