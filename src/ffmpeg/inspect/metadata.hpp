// The stream's header facts, read without decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

struct Metadata {
  int stream_index = 0;
  MediaType media_type = MediaType::Video;
  Rational time_base;
  std::optional<std::string> codec;
  double bit_rate = 0.0;
  std::optional<double> duration_seconds_from_header;
  std::optional<double> container_duration;
  std::optional<double> begin_stream_seconds_from_header;
  // audio
  int sample_rate = 0;
  int num_channels = 0;
  std::optional<std::string> sample_format;
  // video
  int width = 0;
  int height = 0;
  std::optional<int64_t> num_frames_from_header;
  std::optional<double> average_fps_from_header;
  std::pair<int, int> pixel_aspect_ratio{0, 1};
  std::optional<std::string> pixel_format;
  std::optional<int> bit_depth;
  std::optional<std::string> color_range;
  std::optional<std::string> color_space;
  std::optional<std::string> color_primaries;
  std::optional<std::string> color_transfer_characteristic;
  std::optional<double> rotation;
};

// Header facts of the stream; reads no packet. A display matrix that mirrors or
// collapses the picture has no rotation to report: an Unsupported error, unless
// rotation is not asked for.
Result<Metadata> metadata(const Decoder& d, bool apply_rotation);

}  // namespace ffmpeg
