// libFuzzer harness: drives the engine from memory, without Python, the way the
// module's methods do. Each input is opened as video and as audio; what opens is
// scanned, asked for a few frames (exact and not), for a few seconds in timestamp
// mode through a transform list, and decoded as audio at one rate. Errors are
// expected answers; crashes, leaks, hangs and memory bombs are findings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ffmpeg/audio/audio.hpp"
#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/inspect/metadata.hpp"
#include "ffmpeg/inspect/scan.hpp"
#include "ffmpeg/video/request.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace ffmpeg;

// A handful of targets spread over the scanned packets, each with the key frame at or
// before it as its seek point, the way callers build them from scan().
std::vector<FrameTarget> targets_from(const std::vector<PacketRecord>& packets) {
  std::vector<FrameTarget> targets;
  if (packets.empty()) return targets;
  const size_t n = packets.size();
  for (size_t i : {size_t{0}, n / 3, n / 2, n - 1}) {
    int64_t seek = packets.front().pts;
    for (size_t k = 0; k <= i; ++k)
      if (packets[k].key) seek = packets[k].pts;
    targets.push_back({packets[i].pts, seek});
  }
  return targets;
}

void exercise_video(Decoder& d) {
  const auto packets = scan(d);
  if (!packets) return;
  auto converter = PictureConverter::create();
  if (!converter) return;
  PictureConverter* pictures = converter.value().get();
  const auto targets = targets_from(packets.value());
  for (bool exact : {true, false}) {
    auto frames = video_request(d, pictures, VideoRequest{VideoRequest::Frames{targets, exact}},
                                exact ? OutputType::UInt8 : OutputType::Float32, {});
    static_cast<void>(frames);
  }
  static_cast<void>(video_request(d, pictures, VideoRequest{VideoRequest::Frames{targets, true}},
                                  OutputType::Native, {}));
  // The first seconds in timestamp mode, cropped, turned and resized on the way.
  auto transforms = parse_transforms({{"crop", 0, 0, std::max(1, d.height() / 2),
                                       std::max(1, d.width() / 2)},
                                      {"rotate", 1, 0, 0, 0},
                                      {"resize", 0, 0, 17, 23}});
  if (!transforms) return;
  const double start = frame_seconds(d.time_base(), d.start_time());
  VideoRequest seconds{VideoRequest::Timestamps{{start, start + 0.5, start + 1.0, start + 2.5}}};
  static_cast<void>(
      video_request(d, pictures, std::move(seconds), OutputType::UInt8, transforms.value()));
}

void exercise_audio(Decoder& d) {
  static_cast<void>(scan(d));
  static_cast<void>(decode_audio(d, AudioRequest{16000, 2, std::nullopt}));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);  // damaged input makes FFmpeg talk a lot
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (MediaType type : {MediaType::Video, MediaType::Audio}) {
    Source source = source::Bytes{std::vector<uint8_t>(data, data + size)};
    OpenOptions options;
    options.media_type = type;
    auto opened = Decoder::open(std::move(source), options);
    if (!opened) continue;
    Decoder& d = *opened.value();
    static_cast<void>(metadata(d, true));
    if (type == MediaType::Video) exercise_video(d);
    else exercise_audio(d);
  }
  return 0;
}
