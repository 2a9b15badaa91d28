#include "ffmpeg/audio/resampler.hpp"

#include <string>

namespace ffmpeg {

Result<Resampler> Resampler::create(const AVFrame& input, int rate, int channels) {
  if (input.sample_rate < 1 || input.sample_rate > kMaxSourceRate)
    return Error::runtime("audio sample rate out of range: " + std::to_string(input.sample_rate) +
                          " Hz");
  if (static_cast<int64_t>(rate) * kMaxDownsampling < input.sample_rate)
    return Error::invalid("sample_rate too low for this audio: " + std::to_string(input.sample_rate) +
                          " Hz cannot be reduced more than " +
                          std::to_string(kMaxDownsampling) + " times");
  Resampler r;
  {
    // The output layout lives only as long as the set-up call needs it.
    ChannelLayout out_layout;
    av_channel_layout_default(out_layout.get(), channels);
    SwrContext* raw = nullptr;
    // On failure swr_alloc_set_opts2 frees the context itself and nulls the pointer.
    const int code = swr_alloc_set_opts2(
        &raw, out_layout.get(), AV_SAMPLE_FMT_FLTP, rate, &input.ch_layout,
        static_cast<AVSampleFormat>(input.format), input.sample_rate, 0, nullptr);
    r.context_.reset(raw);
    TRY(check(code, "configure audio resampling"));
  }
  TRY(check(swr_init(r.context_.get()), "initialize audio resampling"));
  TRY(check(av_channel_layout_copy(r.layout_.get(), &input.ch_layout),
            "configure audio resampling"));
  r.format_ = static_cast<AVSampleFormat>(input.format);
  r.rate_ = input.sample_rate;
  r.tails_.assign(static_cast<size_t>(channels), nullptr);
  return r;
}

bool Resampler::accepts(const AVFrame& frame) const noexcept {
  return frame.format == format_ && frame.sample_rate == rate_ &&
         av_channel_layout_compare(&frame.ch_layout, layout_.get()) == 0;
}

Status Resampler::convert(ChannelSamples& out, const uint8_t* const* planes, int count) {
  const int bound = swr_get_out_samples(context_.get(), count);
  TRY(check(bound, "get audio output size"));
  // The resampler writes straight into the free tails of the channel sequences: no
  // scratch planes, no second copy, and the output space it is given is exactly the
  // bound it reported.
  TRY(out.reserve(static_cast<size_t>(bound), tails_.data()));
  const int got = swr_convert(context_.get(), reinterpret_cast<uint8_t* const*>(tails_.data()),
                              bound, planes, count);
  TRY(check(got, "resample audio"));
  out.commit(static_cast<size_t>(got));
  return ok();
}

}  // namespace ffmpeg
