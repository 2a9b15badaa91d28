// The colour conversion of decoded pictures.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "ffmpeg/error.hpp"
#include "ffmpeg/picture/output_types.hpp"
#include "ffmpeg/picture/picture.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// Whether an RGB conversion of `frame` may write straight into a packed batch slot.
bool converts_in_place(const AVFrame& frame, const PictureFormat& format);

// libswscale's converter from decoded frames to RGB, and the frame it converts into.
class ColorConverter {
 public:
  // Allocates the RGB frame; false when it cannot be had.
  bool allocate() noexcept;

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
