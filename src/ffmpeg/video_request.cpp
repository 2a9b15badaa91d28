// The driver of both video methods: checks, plan, batch, run, final pass.
#include <cmath>

#include "ffmpeg/selection.hpp"
#include "ffmpeg/video.hpp"

namespace ffmpeg {
namespace {

Status check_seconds(const std::vector<double>& seconds) {
  for (double s : seconds)
    if (!std::isfinite(s)) return Error::runtime("timestamps must be finite, sorted and unique");
  for (size_t i = 1; i < seconds.size(); ++i)
    if (!(seconds[i] > seconds[i - 1]))
      return Error::runtime("timestamps must be finite, sorted and unique");
  return ok();
}

}  // namespace

Result<VideoResult> video_request(Decoder& d, VideoRequest request, OutputType type,
                                  const std::vector<Transform>& transforms) {
  if (d.media_type != MediaType::Video) return Error::runtime("cannot decode video from audio stream");
  if (type == OutputType::Native && !transforms.empty())
    return Error::invalid("transforms require RGB output");

  Plan plan;
  size_t count = 0;
  if (auto* frames = std::get_if<VideoRequest::Frames>(&request.value)) {
    count = frames->targets.size();
    plan = plan_frames(*frames);
  } else {
    const auto& seconds = std::get<VideoRequest::Timestamps>(request.value).seconds;
    TRY(check_seconds(seconds));
    count = seconds.size();
    // Choosing the frame showing at a time is not built yet; an empty request needs no
    // choice and is answered.
    if (count > 0)
      return Error::unsupported("decode_timestamps() is not available in this build");
  }

  TRY_ASSIGN(const PictureFormat format, picture_format(type, d.pixel_format));
  // Applying transforms to decoded pictures is not enabled yet: refuse them loudly
  // rather than return pictures that ignore them.
  if (!transforms.empty()) return Error::unsupported("transforms are not available in this build");
  TRY_ASSIGN(const Size size, output_size(transforms, Size{d.height, d.width}));
  TRY_ASSIGN(Batch batch, allocate_batch(count, static_cast<uint64_t>(size.height),
                                         static_cast<uint64_t>(size.width),
                                         static_cast<uint64_t>(format.channels),
                                         static_cast<uint64_t>(format.sample_bytes)));
  Placer placer(d, format, transforms, batch);
  TRY(run_frame_plan(d, plan, placer));
  TRY_ASSIGN(OwnedBuffer frames, finish_batch(batch, format));
  return VideoResult{std::move(frames),
                     {count, static_cast<size_t>(size.height), static_cast<size_t>(size.width),
                      static_cast<size_t>(format.channels)},
                     std::move(batch.starts),
                     std::move(batch.durations)};
}

}  // namespace ffmpeg
