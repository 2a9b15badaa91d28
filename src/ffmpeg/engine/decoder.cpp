// The packet/frame pump: the one place that speaks FFmpeg's send/receive protocol.
// EAGAIN and end of file are states here, never errors passed up.
#include <algorithm>
#include <cstdint>

#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

Result<bool> Decoder::next() {
  av_frame_unref(frame.get());
  bool drained = draining;
  int r = avcodec_receive_frame(codec_context.get(), frame.get());
  while (true) {
    if (r >= 0) return true;
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN)) return check(r, "receive decoded frame").error();
    // The decoder asks for input after the drain request: nothing more will come.
    if (drained) return false;
    while (true) {
      read_since_open = true;
      r = av_read_frame(format_context.get(), packet.get());
      if (r == AVERROR_EOF) {
        draining = true;
        TRY(check(avcodec_send_packet(codec_context.get(), nullptr), "drain decoder"));
        drained = true;
        break;
      }
      TRY(check(r, "read packet"));
      // Packets flagged for discard (before an edit list's start) are sent too: the
      // first of them is often the key frame the next frames are predicted from, and
      // the decoder itself drops the frames they produce.
      if (packet->stream_index != stream_index) {
        av_packet_unref(packet.get());
        continue;
      }
      const int s = avcodec_send_packet(codec_context.get(), packet.get());
      av_packet_unref(packet.get());
      // One damaged packet (a junk frame, a capture starting mid-frame) is skipped
      // as FFmpeg's own tools do, rather than ending the whole stream.
      if (s == AVERROR_INVALIDDATA) continue;
      TRY(check(s, "send packet"));
      drained = false;
      break;
    }
    r = avcodec_receive_frame(codec_context.get(), frame.get());
  }
}

void Decoder::reset_after_seek() {
  avcodec_flush_buffers(codec_context.get());
  av_packet_unref(packet.get());
  av_frame_unref(frame.get());
  draining = false;
}

Status Decoder::seek(int64_t target) {
  // A custom I/O context remembers a failed read for the rest of its life; a seek
  // starts reading afresh, so one transient failure of a file-like object does not
  // fail every later call.
  if (io_context) {
    io_context->error = 0;
    io_context->eof_reached = 0;
  }
  TRY(check(av_seek_frame(format_context.get(), stream_index, target, AVSEEK_FLAG_BACKWARD), "seek"));
  reset_after_seek();
  return ok();
}

}  // namespace ffmpeg

namespace ffmpeg {

Status Decoder::rewind() {
  // A backward seek lands on the last index entry at or before its target, so a seek
  // to start_time itself can skip packets stored before that entry (AAC priming
  // packets, edit lists, a transport stream's first key frame). Aim below every
  // timestamp first. Some demuxers refuse a target before their first entry (MP3
  // refuses -1, and its start_time lies after its first packet, which carries the
  // encoder delay): then 0, then the start time itself.
  const int64_t start = stream()->start_time == AV_NOPTS_VALUE ? 0 : stream()->start_time;
  const int64_t low = std::min<int64_t>(start, 0);  // start is never AV_NOPTS_VALUE here
  Status result = seek(low - 1);
  if (!result) result = seek(low);
  if (!result && start != low) result = seek(start);
  // A container that cannot seek at all (a Matroska file cut short, without cues) is
  // still at its start if nothing has been read since the open.
  if (result || !read_since_open) return ok();
  return result;
}

}  // namespace ffmpeg
