// The pump, seeking and packet reads: the one place that speaks FFmpeg's send/receive
// protocol. EAGAIN and end of file are states here, never errors passed up.
#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

namespace {

// An empty packet is no picture and no sound: since FFmpeg 8 the Ogg demuxer emits one
// for each repeated Theora frame. Sent, it would read as the drain request and fail
// ("Invalid argument"); the command-line tool passes such packets over, so the pump and
// the scan do too.
bool is_empty(const AVPacket& packet) noexcept { return packet.size == 0; }

}  // namespace

Decoder::~Decoder() {
  // Closing may call the interrupt callback (a network protocol closing); the caller's
  // hook belongs to the work, not to the release.
  interrupt_.arm(nullptr);
  frame_.reset();
  packet_.reset();
  codec_context_.reset();
  // The demuxer is closed before the custom I/O context it reads through is freed.
  format_context_.reset();
  io_context_.reset();
  reader_.reset();
}

void Decoder::abandon(std::unique_ptr<Decoder> engine) noexcept {
  engine->reader_.reset();
  // Deliberately leaked: see the declaration.
  static_cast<void>(engine.release());
}

void Decoder::set_interrupt(InterruptHook* hook) noexcept {
  interrupt_.arm(hook);
  // A read that was told to exit leaves its error on the I/O context; the next call
  // starts afresh (every method seeks before it reads, which clears it as well).
  if (AVIOContext* pb = format_context_ ? format_context_->pb : nullptr;
      pb && pb->error == AVERROR_EXIT) {
    pb->error = 0;
    pb->eof_reached = 0;
  }
}

bool Decoder::interrupted() noexcept {
  // The custom I/O context outlives a format context that a failed open freed.
  const AVIOContext* pb = format_context_ ? format_context_->pb : io_context_.get();
  if (pb && pb->error == AVERROR_EXIT) interrupt_.stop();
  return interrupt_.poll();
}

Status Decoder::check_io(int code, const char* context) {
  if (code == AVERROR_EXIT) interrupt_.stop();
  if (code < 0 && interrupted()) return Error::interrupted();
  return check(code, context);
}

Status Decoder::check_end(const char* context) {
  if (interrupted()) return Error::interrupted();
  const AVIOContext* pb = format_context_->pb;
  if (pb && pb->error < 0 && pb->error != AVERROR_EOF) return check(pb->error, context);
  return ok();
}

int Decoder::interrupt_callback(void* opaque) noexcept {
  return static_cast<Decoder*>(opaque)->interrupted() ? 1 : 0;
}

Result<bool> Decoder::next() {
  av_frame_unref(frame_.get());
  bool drained = draining_;
  int r = avcodec_receive_frame(codec_context_.get(), frame_.get());
  while (true) {
    if (r >= 0) {
      date_frame();
      if (deliver_from_ == AV_NOPTS_VALUE || frame_->pts == AV_NOPTS_VALUE ||
          frame_->pts >= deliver_from_)
        return true;
      // Decoded from the packets read before the key frame, or a leading picture of
      // it: its references were never decoded, whatever the decoder shows.
      av_frame_unref(frame_.get());
      r = avcodec_receive_frame(codec_context_.get(), frame_.get());
      continue;
    }
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN)) return check(r, "receive decoded frame").error();
    // The decoder asks for input after the drain request: nothing more will come.
    if (drained) return false;
    while (true) {
      // Once per packet: the clock check is a few nanoseconds.
      if (interrupted()) return Error::interrupted();
      read_since_open_ = true;
      r = av_read_frame(format_context_.get(), packet_.get());
      if (r != AVERROR_EOF) {
        TRY(check_io(r, "read packet"));
        // Packets flagged for discard (before an edit list's start) are sent too: the
        // first of them is often the key frame the next frames are predicted from, and
        // the decoder itself drops the frames they produce.
        if (packet_->stream_index != stream_index_ || is_empty(*packet_)) {
          av_packet_unref(packet_.get());
          continue;
        }
        if (map_next_) {
          Result<bool> known = restore_timestamps(*packet_);
          if (!known || !known.value()) av_packet_unref(packet_.get());
          if (!known) return std::move(known).error();
          if (!known.value()) continue;
        }
      } else {
        TRY(check_end("read packet"));
      }
      // At the end, or once the last frame wanted before a seek has gone in: what the
      // decoder holds comes out without more input (with frame threads, more input
      // would first be decoded, one frame per thread, only to be flushed by the seek).
      if (r == AVERROR_EOF || skip_.drain_before(*packet_)) {
        aim_drained_ = r != AVERROR_EOF;
        av_packet_unref(packet_.get());
        draining_ = true;
        TRY(check(avcodec_send_packet(codec_context_.get(), nullptr), "drain decoder"));
        drained = true;
        break;
      }
      // Frame threads copy skip_frame from this context with every packet they take.
      codec_context_->skip_frame = skip_.decide(*packet_);
      const int s = avcodec_send_packet(codec_context_.get(), packet_.get());
      if (s >= 0) sent_keys_.sent(*packet_);
      av_packet_unref(packet_.get());
      // One damaged packet (a junk frame, a capture starting mid-frame) is skipped
      // as FFmpeg's own tools do, rather than ending the whole stream.
      if (s == AVERROR_INVALIDDATA) continue;
      TRY(check(s, "send packet"));
      drained = false;
      break;
    }
    r = avcodec_receive_frame(codec_context_.get(), frame_.get());
  }
}

void Decoder::reset_after_seek() {
  avcodec_flush_buffers(codec_context_.get());
  av_packet_unref(packet_.get());
  av_frame_unref(frame_.get());
  draining_ = false;
  aim_drained_ = false;
  skip_.restart();
  sent_keys_.restart();
  map_next_.reset();
  map_found_ = false;
  last_frame_end_ = AV_NOPTS_VALUE;
  deliver_from_ = AV_NOPTS_VALUE;
}

void Decoder::date_frame() noexcept {
  AVFrame& f = *frame_;
  // A frame that the decoder could not date (the last reference frame of a reordered
  // stream whose packets carry only decoding times, output at the drain) follows the
  // frame before it, as a decode from the start dates its packet in the scan.
  if (f.pts == AV_NOPTS_VALUE && f.best_effort_timestamp == AV_NOPTS_VALUE)
    f.pts = last_frame_end_;
  const int64_t ts = f.pts != AV_NOPTS_VALUE ? f.pts : f.best_effort_timestamp;
  last_frame_end_ = ts != AV_NOPTS_VALUE && f.duration > 0 ? ts + f.duration : AV_NOPTS_VALUE;
}

Result<bool> Decoder::restore_timestamps(AVPacket& packet) {
  const std::vector<MappedPacket>& packets = map_->packets();
  // Found by size, and at first by position too. Later positions can differ from a
  // read from the start: the MPEG program stream parser dates a packet from the PES
  // packet it began in, and where the first one read began depends on the landing.
  const auto same = [&](size_t i, bool where) {
    const MappedPacket& m = packets[i];
    return packet.size == m.size && (!where || packet.pos < 0 || m.pos < 0 || packet.pos == m.pos);
  };
  if (!map_found_) {
    // Right after a byte seek, the demuxer's parser may first return the tail of a
    // packet that began before the landing position, on its own: it is passed over
    // until a packet is the one the map lists there or shortly after. Finding it only
    // after the key frame would leave the key frame undecoded.
    for (size_t i = *map_next_; i < packets.size() && i <= map_key_ && i < *map_next_ + 8; ++i) {
      if (!same(i, true)) continue;
      map_found_ = true;
      map_next_ = i;
      break;
    }
    if (!map_found_) {
      if (++map_passed_ < 8) return false;
      return Error::runtime("packets read after a seek do not match the scan");
    }
  }
  // The map was read through the same demuxer from the start; the packets found again
  // come in the same order. One that does not fit means the input changed or the
  // demuxer split it otherwise, and no timestamp can be trusted.
  const size_t i = (*map_next_)++;
  if (i >= packets.size() || !same(i, false))
    return Error::runtime("packets read after a seek do not match the scan");
  const MappedPacket& m = packets[i];
  packet.pts = m.timestamp;
  packet.dts = m.dts;
  if (packet.duration <= 0) packet.duration = m.duration;
  return true;
}

Result<std::optional<PacketInfo>> Decoder::scan_packet() {
  while (true) {
    if (interrupted()) return Error::interrupted();
    read_since_open_ = true;
    const int r = av_read_frame(format_context_.get(), packet_.get());
    if (r == AVERROR_EOF) {
      TRY(check_end("scan packets"));
      return std::optional<PacketInfo>();
    }
    TRY(check_io(r, "scan packets"));
    if (packet_->stream_index != stream_index_ || is_empty(*packet_)) {
      av_packet_unref(packet_.get());
      continue;
    }
    const PacketInfo info{packet_->pts,  packet_->dts,  packet_->duration,
                          packet_->pos,  packet_->size, packet_->flags};
    av_packet_unref(packet_.get());
    return std::optional<PacketInfo>(info);
  }
}

}  // namespace ffmpeg
