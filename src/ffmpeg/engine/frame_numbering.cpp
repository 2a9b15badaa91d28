// Timestamps for streams whose packets carry none (elementary streams, or an MPEG
// program stream whose PES packets date only some of the frames in them): one decode
// from the start presents the frames in order, and each frame tells which packet it came
// from by the pts it was sent with, its index in container order.
#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {
namespace {

// One frame's duration in the stream's time base: what the demuxer gave the packets,
// else the frame rate it found.
std::optional<int64_t> frame_step(const AVStream& stream,
                                  const std::vector<MappedPacket>& packets) {
  for (const MappedPacket& p : packets)
    if (p.duration > 0) return p.duration;
  AVRational rate = stream.avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream.r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return std::nullopt;
  const int64_t step = av_rescale_q(1, av_inv_q(rate), stream.time_base);
  if (step <= 0) return std::nullopt;
  return step;
}

}  // namespace

Status Decoder::number_frames(std::vector<MappedPacket>& packets) {
  const std::optional<int64_t> step = frame_step(stream(), packets);
  if (!step)
    return Error::runtime("stream has no timestamps and no frame rate to derive them from");
  std::vector<int64_t> own(packets.size());
  for (size_t i = 0; i < packets.size(); ++i) {
    own[i] = packets[i].timestamp;
    packets[i].timestamp = AV_NOPTS_VALUE;
  }
  const int64_t start = start_time();
  int64_t last = AV_NOPTS_VALUE;
  // A frame keeps its packet's own pts where it had one; the others follow the frame
  // before by one frame's duration.
  const auto take_frames = [&]() -> Status {
    while (true) {
      const int r = avcodec_receive_frame(codec_context_.get(), frame_.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return ok();
      TRY(check(r, "receive decoded frame"));
      const int64_t i = frame_->pts;
      av_frame_unref(frame_.get());
      if (i < 0 || static_cast<size_t>(i) >= packets.size()) continue;
      int64_t ts = own[i];
      if (ts == AV_NOPTS_VALUE) ts = last == AV_NOPTS_VALUE ? start : last + *step;
      packets[i].timestamp = ts;
      last = ts;
    }
  };
  TRY(seek_bytes(0));
  codec_context_->skip_frame = AVDISCARD_DEFAULT;
  size_t sent = 0;
  while (true) {
    if (interrupted()) return Error::interrupted();
    const int r = av_read_frame(format_context_.get(), packet_.get());
    if (r == AVERROR_EOF) {
      TRY(check_end("read packet"));
      TRY(check(avcodec_send_packet(codec_context_.get(), nullptr), "drain decoder"));
      TRY(take_frames());
      break;
    }
    TRY(check_io(r, "read packet"));
    // Empty packets are passed over here as by the scan that listed the packets.
    if (packet_->stream_index != stream_index_ || packet_->size == 0) {
      av_packet_unref(packet_.get());
      continue;
    }
    // The same demuxer from the same start gives the same packets; more means the
    // input grew since it was read.
    if (sent >= packets.size()) {
      av_packet_unref(packet_.get());
      return Error::runtime("packets read after a seek do not match the scan");
    }
    packet_->pts = static_cast<int64_t>(sent++);
    packet_->dts = AV_NOPTS_VALUE;
    const int s = avcodec_send_packet(codec_context_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (s != AVERROR_INVALIDDATA) TRY(check(s, "send packet"));
    TRY(take_frames());
  }
  // The decoder is left drained; the caller seeks before it decodes again.
  avcodec_flush_buffers(codec_context_.get());
  return ok();
}

}  // namespace ffmpeg
