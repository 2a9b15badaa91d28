// The driver of both video methods: checks, plan, batch, run, final pass.
#include "ffmpeg/video/request.hpp"

#include <cmath>
#include <optional>

#include "ffmpeg/video/placer.hpp"
#include "ffmpeg/video/selection.hpp"
#include "ffmpeg/video/timestamp_mode.hpp"

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

Result<VideoResult> video_request(Decoder& d, PictureConverter* pictures, VideoRequest request,
                                  OutputType type, const std::vector<Transform>& transforms) {
  if (d.media_type() != MediaType::Video || !pictures)
    return Error::runtime("cannot decode video from audio stream");
  if (type == OutputType::Native && !transforms.empty())
    return Error::invalid("transforms require RGB output");

  Plan plan;
  std::optional<TimestampMode> playback;  // its retained frame is freed on every path
  const std::vector<double>* seconds = nullptr;
  size_t count = 0;
  if (auto* frames = std::get_if<VideoRequest::Frames>(&request.value)) {
    count = frames->targets.size();
    plan = plan_frames(*frames);
  } else {
    seconds = &std::get<VideoRequest::Timestamps>(request.value).seconds;
    TRY(check_seconds(*seconds));
    count = seconds->size();
    TRY_ASSIGN(playback, TimestampMode::create(d));
  }

  TRY_ASSIGN(const PictureFormat format, picture_format(type, d.pixel_format()));
  TRY_ASSIGN(const Size size, output_size(transforms, Size{d.height(), d.width()}));
  TRY_ASSIGN(Batch batch, Batch::allocate(count, size, format));
  Placer placer(d, *pictures, format, transforms, batch);
  const Status run = playback ? playback->run(*seconds, placer) : run_frame_plan(d, plan, placer);
  d.aim(Aim{});  // later requests and methods want every frame unless they say otherwise
  TRY(run);
  return batch.finish();
}

}  // namespace ffmpeg
