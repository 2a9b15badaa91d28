#include "ffmpeg/picture/output_types.hpp"

#include <algorithm>
#include <array>

namespace ffmpeg {
namespace {

constexpr PictureFormat rgb(OutputType type, int sample_bytes, AVPixelFormat format,
                            ElementType element) {
  return PictureFormat{type, 3, sample_bytes, format, false, element};
}

constexpr std::array kTypes{
    OutputTypeInfo{OutputType::UInt8, "uint8",
                   rgb(OutputType::UInt8, 1, AV_PIX_FMT_RGB24, ElementType::UInt8)},
    OutputTypeInfo{OutputType::UInt16, "uint16",
                   rgb(OutputType::UInt16, 2, AV_PIX_FMT_RGB48LE, ElementType::UInt16)},
    OutputTypeInfo{OutputType::Float32, "float32",
                   rgb(OutputType::Float32, 2, AV_PIX_FMT_RGB48LE, ElementType::Float32)},
    OutputTypeInfo{OutputType::Native, "native", PictureFormat{OutputType::Native, 0, 0}},
};

constexpr PictureFormat native(int channels, int sample_bytes, bool big_endian = false) {
  return PictureFormat{OutputType::Native, channels, sample_bytes, AV_PIX_FMT_NONE, big_endian,
                       sample_bytes == 1 ? ElementType::UInt8 : ElementType::UInt16};
}

// In step with kNativeLayouts.
constexpr std::array kNativeFormats{AV_PIX_FMT_RGB24,    AV_PIX_FMT_GRAY8,    AV_PIX_FMT_RGBA,
                                    AV_PIX_FMT_GRAY16BE, AV_PIX_FMT_GRAY16LE, AV_PIX_FMT_GRAY12LE};
constexpr std::array kNativeLayouts{native(3, 1), native(1, 1), native(4, 1),
                                    native(1, 2, true), native(1, 2), native(1, 2)};
static_assert(kNativeFormats.size() == kNativeLayouts.size());

}  // namespace

std::span<const OutputTypeInfo> output_types() noexcept { return kTypes; }
std::span<const PictureFormat> native_layouts() noexcept { return kNativeLayouts; }
std::span<const AVPixelFormat> native_pixel_formats() noexcept { return kNativeFormats; }

Result<OutputType> output_type(std::string_view text) {
  for (const OutputTypeInfo& info : kTypes)
    if (info.name == text) return info.type;
  return Error::invalid("invalid video output dtype");
}

Result<PictureFormat> picture_format(OutputType type, AVPixelFormat pixel_format) {
  if (type != OutputType::Native) return kTypes[static_cast<size_t>(type)].format;
  for (size_t i = 0; i < kNativeFormats.size(); ++i)
    if (kNativeFormats[i] == pixel_format) return kNativeLayouts[i];
  return Error::invalid("native output does not support this pixel format");
}

int max_pixel_bytes(const OutputTypeInfo& info) noexcept {
  if (info.type != OutputType::Native)
    return info.format.channels * static_cast<int>(element_size(info.format.element));
  int most = 0;
  for (const PictureFormat& f : kNativeLayouts) most = std::max(most, f.pixel_bytes());
  return most;
}

}  // namespace ffmpeg
