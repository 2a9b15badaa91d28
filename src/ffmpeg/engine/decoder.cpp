// The pump, seeking and packet reads: the one place that speaks FFmpeg's send/receive
// protocol. EAGAIN and end of file are states here, never errors passed up.
#include "ffmpeg/engine/decoder.hpp"

#include <algorithm>

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
  pictures_.release();
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
    if (r >= 0) return true;
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
}

Status Decoder::seek(int64_t target) {
  // Taken before the I/O context's error, which tells of an interrupted read, is cleared.
  if (interrupted()) return Error::interrupted();
  // An I/O context remembers a failed read for the rest of its life; a seek starts
  // reading afresh, so one transient failure of a file-like object, or an interrupted
  // read, does not fail every later call.
  if (AVIOContext* pb = format_context_->pb) {
    pb->error = 0;
    pb->eof_reached = 0;
  }
  TRY(check_io(av_seek_frame(format_context_.get(), stream_index_, target, AVSEEK_FLAG_BACKWARD),
               "seek"));
  reset_after_seek();
  return ok();
}

Status Decoder::rewind() {
  // A backward seek lands on the last index entry at or before its target, so a seek
  // to start_time itself can skip packets stored before that entry (AAC priming
  // packets, edit lists, a transport stream's first key frame). Aim below every
  // timestamp first. Some demuxers refuse a target before their first entry (MP3
  // refuses -1, and its start_time lies after its first packet, which carries the
  // encoder delay): then 0, then the start time itself.
  const int64_t start = stream().start_time == AV_NOPTS_VALUE ? 0 : stream().start_time;
  const int64_t low = std::min<int64_t>(start, 0);  // start is never AV_NOPTS_VALUE here
  Status result = seek(low - 1);
  if (!result) result = seek(low);
  if (!result && start != low) result = seek(start);
  if (!result && result.error().kind == ErrorKind::Interrupted) return result;
  // A container that cannot seek at all (a Matroska file cut short, without cues) is
  // still at its start if nothing has been read since the open.
  if (result || !read_since_open_) return ok();
  return result;
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
    const PacketInfo info{packet_->pts, packet_->dts, packet_->duration, packet_->flags};
    av_packet_unref(packet_.get());
    return std::optional<PacketInfo>(info);
  }
}

std::optional<int64_t> Decoder::indexed_key_frame(int64_t ts) const noexcept {
  AVStream* st = format_context_->streams[stream_index_];
  const int i = av_index_search_timestamp(st, ts, AVSEEK_FLAG_BACKWARD);
  // A negative index (no entry at or before ts) gives no entry.
  const AVIndexEntry* entry = avformat_index_get_entry(st, i);
  if (!entry) return std::nullopt;
  return entry->timestamp;
}

bool Decoder::seek_lands_between(int64_t seek_pts, int64_t from,
                                 int64_t target) const noexcept {
  const std::optional<int64_t> landing = indexed_key_frame(seek_pts);
  const std::optional<int64_t> delay = sent_keys_.key_delay();
  return landing && delay && *landing > from && *landing + *delay <= target;
}

bool Decoder::passes_seek(int64_t seek_pts, int64_t target) const noexcept {
  const std::optional<int64_t> landing = indexed_key_frame(seek_pts);
  AVStream* st = format_context_->streams[stream_index_];
  const AVIndexEntry* first = avformat_index_get_entry(st, 0);
  if (!landing || !first) return false;
  const bool complete = st->nb_frames > 0 && avformat_index_get_entries_count(st) >= st->nb_frames;
  return sent_keys_.passes_seek({*landing, first->timestamp, complete}, seek_pts, target);
}

}  // namespace ffmpeg
