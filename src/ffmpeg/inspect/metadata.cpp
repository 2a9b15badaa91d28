#include "ffmpeg/inspect/metadata.hpp"

#include <cmath>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace ffmpeg {
namespace {

// The angle of the coded display matrix; nullopt when there is none or it is 0.
Result<std::optional<double>> rotation(const AVCodecParameters* par) {
  const AVPacketSideData* side = av_packet_side_data_get(
      par->coded_side_data, par->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  if (!side || side->size < 9 * sizeof(int32_t)) return std::optional<double>();
  const auto* m = reinterpret_cast<const int32_t*>(side->data);
  const double det = static_cast<double>(m[0]) * m[4] - static_cast<double>(m[1]) * m[3];
  if (det <= 0) return Error::unsupported("reflected or singular display matrices are unsupported");
  const double angle = av_display_rotation_get(m);
  if (!std::isnormal(angle) && std::fpclassify(angle) != FP_SUBNORMAL)
    return std::optional<double>();
  return std::optional<double>(angle);
}

// Colour property names, with the "unspecified" value reported as no name.
template <typename T>
std::optional<std::string> property(T value, T unspecified, const char* (*to_name)(T)) {
  if (value == unspecified) return std::nullopt;
  return name(to_name(value));
}

}  // namespace

Result<Metadata> metadata(const Decoder& d, bool apply_rotation) {
  const AVStream* st = &d.stream();
  const AVCodecParameters* par = st->codecpar;
  const Rational time_base = d.time_base();
  Metadata m;
  m.stream_index = d.stream_index();
  m.media_type = d.media_type();
  m.time_base = time_base;
  m.codec = name(avcodec_get_name(par->codec_id));
  m.bit_rate = static_cast<double>(par->bit_rate);
  if (st->duration > 0) m.duration_seconds_from_header = frame_seconds(time_base, st->duration);
  if (d.container_duration() > 0)
    m.container_duration = static_cast<double>(d.container_duration()) / 1000000.0;
  if (st->start_time != AV_NOPTS_VALUE)
    m.begin_stream_seconds_from_header = frame_seconds(time_base, st->start_time);
  if (d.media_type() == MediaType::Audio) {
    m.sample_rate = par->sample_rate;
    m.num_channels = par->ch_layout.nb_channels;
    m.sample_format = name(av_get_sample_fmt_name(static_cast<AVSampleFormat>(par->format)));
    return m;
  }
  m.width = par->width;
  m.height = par->height;
  if (st->nb_frames > 0) m.num_frames_from_header = st->nb_frames;
  const double fps =
      static_cast<double>(st->r_frame_rate.num) / static_cast<double>(st->r_frame_rate.den);
  if (fps > 0.0) m.average_fps_from_header = fps;
  m.pixel_aspect_ratio = {par->sample_aspect_ratio.num, par->sample_aspect_ratio.den};
  const auto format = static_cast<AVPixelFormat>(par->format);
  m.pixel_format = name(av_get_pix_fmt_name(format));
  if (const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format))
    m.bit_depth = desc->comp[0].depth;
  m.color_range = property(par->color_range, AVCOL_RANGE_UNSPECIFIED, av_color_range_name);
  m.color_space = property(par->color_space, AVCOL_SPC_UNSPECIFIED, av_color_space_name);
  m.color_primaries =
      property(par->color_primaries, AVCOL_PRI_UNSPECIFIED, av_color_primaries_name);
  m.color_transfer_characteristic =
      property(par->color_trc, AVCOL_TRC_UNSPECIFIED, av_color_transfer_name);
  if (apply_rotation) {
    TRY_ASSIGN(m.rotation, rotation(par));
  }
  return m;
}

}  // namespace ffmpeg
