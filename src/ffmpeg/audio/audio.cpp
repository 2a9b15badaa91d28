#include "ffmpeg/audio/audio.hpp"

#include "ffmpeg/audio/resampler.hpp"
#include "ffmpeg/audio/samples.hpp"

namespace ffmpeg {
namespace {

constexpr int kMaxChannels = 64;

}  // namespace

Result<Audio> decode_audio(Decoder& d, const AudioRequest& request) {
  if (d.media_type() != MediaType::Audio)
    return Error::runtime("cannot decode audio from video stream");
  if (request.sample_rate <= 0 || request.channels < 1 || request.channels > kMaxChannels)
    return Error::invalid("sample_rate and num_channels must be positive (channels <= 64)");
  // Every call decodes exactly what the first call after open decodes.
  TRY(d.start_over());

  ChannelSamples samples(request.channels);
  std::optional<Resampler> resampler;
  std::optional<double> first_start;
  while (true) {
    TRY_ASSIGN(const bool got_frame, d.next());
    if (!got_frame) break;
    const AVFrame& frame = d.frame();
    TRY_ASSIGN(const int64_t timestamp, frame_timestamp(frame));
    // A stream may change its sample format, rate or layout mid-way (a new MP3 or ADTS
    // header, a spliced file). Feeding such a frame to the old resampler would read
    // its planes with the wrong layout, so the old one hands over what it still holds
    // and a new one takes the new input.
    if (resampler && !resampler->accepts(frame)) {
      TRY(resampler->flush(samples));
      resampler.reset();
    }
    if (!resampler) {
      TRY_ASSIGN(resampler, Resampler::create(frame, request.sample_rate, request.channels));
    }
    TRY(resampler->convert(samples, frame.extended_data, frame.nb_samples));
    if (!first_start) first_start = frame_seconds(d.time_base(), timestamp);
    // A NaN stop compares false and never ends the loop.
    if (request.stop &&
        static_cast<double>(samples.length()) / request.sample_rate + *first_start >= *request.stop)
      break;
  }
  if (resampler) TRY(resampler->flush(samples));

  Audio audio;
  audio.start = first_start ? *first_start : frame_seconds(d.time_base(), d.start_time());
  audio.length = samples.length();
  TRY_ASSIGN(audio.samples, samples.take());
  return audio;
}

}  // namespace ffmpeg
