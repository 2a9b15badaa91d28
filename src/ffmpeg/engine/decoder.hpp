// The engine: every FFmpeg object of one opened stream, with one owner each, and the
// operations through which all reading and decoding advances.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ffmpeg/engine/frame_skip.hpp"
#include "ffmpeg/engine/interrupt.hpp"
#include "ffmpeg/engine/packet_map.hpp"
#include "ffmpeg/engine/reader.hpp"
#include "ffmpeg/engine/sent_key_frames.hpp"
#include "ffmpeg/engine/source.hpp"
#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"
#include "ffmpeg/timing.hpp"

namespace ffmpeg {

enum class MediaType : uint8_t { Video = 0, Audio = 1 };

// What reaching a frame takes from where decoding stands (Decoder::route).
struct Route {
  // The key frame a seek to the seek point resumes at, by the demuxer's index or the
  // packet map; none when neither tells.
  std::optional<int64_t> key_frame;
  // Decoding on from where the pump stands passes through what that seek would decode
  // before the target: the seek is needless.
  bool decode_on = false;
  // The seek lands on a key frame after the frame the caller stands at, presented at
  // or before the target: decoding on from there would only pass through frames up to
  // that key frame.
  bool seek_skips_ahead = false;
};

struct OpenOptions {
  MediaType media_type = MediaType::Video;
  std::optional<int> stream_index;
  int threads = 1;  // the decoder's thread count, given to FFmpeg as it is
  // Asked during the open (see set_interrupt); null: the open cannot be stopped.
  InterruptHook* interrupt = nullptr;
};

class Decoder {
 public:
  // Opens the source and the chosen stream's decoder. Runs with the interpreter lock
  // released; on failure everything acquired so far is released before returning.
  static Result<std::unique_ptr<Decoder>> open(Source source, const OpenOptions& options);
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder();

  // Gives up an engine without releasing its FFmpeg objects, in a process that did not
  // open it (a child after fork): its codec's worker threads do not exist there, so
  // freeing the codec context can hang, and closing a network connection would write
  // to a socket the parent still uses. Only the reader is released (a private copy of
  // bytes, or the child's own reference to a file-like object); the rest stays
  // allocated until the process ends.
  static void abandon(std::unique_ptr<Decoder> engine) noexcept;

  // Arms `hook` for the calls that follow (null disarms): next(), scan_packet(), the
  // seeks and FFmpeg's blocking reads then ask it every so often, and once it asks
  // for a stop every one of them fails with an Interrupted error until it is armed
  // again. A stop left over from an earlier call is forgotten.
  void set_interrupt(InterruptHook* hook) noexcept;

  // The pump: leaves one more decoded frame of the stream in frame() (true), or
  // reports the end of the stream (false), or of what the aim wants once the frames
  // up to its last one are out. The frame holds data only until the next call or
  // seek; a caller that keeps it takes its own reference. Frames that the current aim
  // does not want, and that no other frame is predicted from, may be left undecoded
  // (never output).
  Result<bool> next();
  // What the next frames are decoded towards; in force until the next aim. The default
  // Aim wants every frame.
  void aim(const Aim& aim) noexcept { skip_.aim(aim); }
  // Whether the last next() that reported no frame stopped at what the aim wants rather
  // than at the end of the stream; only a seek continues from there.
  bool stopped_by_aim() const noexcept { return aim_drained_; }
  // A backward seek to `target` on the stream ("seek" on failure); the pump then starts
  // afresh from where the demuxer landed.
  Status seek(int64_t target);
  // Back to the start of the stream, at or before its first packet, with a decoder as
  // new as the one at open: a flush does not return every decoder to its state at open
  // (Opus trims its pre-skip only once; AAC keeps its noise generator's state; HEVC
  // drops the leading pictures of the key frame it starts at), so a pass that must
  // match a first decode starts anew. On failure the engine stays usable.
  Status start_over();
  // Every packet of the stream as a read from its start finds it. Where seeks go by
  // byte position to packets of this map (MPEG program and transport streams,
  // elementary streams), it is read once and kept; elsewhere each call reads it anew.
  // Either way the engine is left at the start.
  Result<std::shared_ptr<const PacketMap>> packet_map();
  // What reaching the frame at `target` takes when a seek would aim at `seek_pts`,
  // standing at the frame at `from` (all in stream time-base units).
  Route route(int64_t seek_pts, int64_t target, int64_t from) const noexcept;

  // The frame the last next() left.
  const AVFrame& frame() const noexcept { return *frame_; }
  // The stream, for what metadata reports of it.
  const AVStream& stream() const noexcept { return *format_context_->streams[stream_index_]; }
  int stream_index() const noexcept { return stream_index_; }
  MediaType media_type() const noexcept { return media_type_; }
  Rational time_base() const noexcept { return time_base_; }
  // The stream's start time, 0 when the container gives none.
  int64_t start_time() const noexcept {
    const int64_t start = stream().start_time;
    return start == AV_NOPTS_VALUE ? 0 : start;
  }
  // The container's duration in AV_TIME_BASE units (AV_NOPTS_VALUE when unknown).
  int64_t container_duration() const noexcept { return format_context_->duration; }

  // Video: the picture size and format of the stream's parameters at open (video
  // requests refuse frames of another size). Audio: 0, 0 and AV_PIX_FMT_NONE.
  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  AVPixelFormat pixel_format() const noexcept { return pixel_format_; }

 private:
  Decoder(MediaType media_type, int threads) noexcept
      : threads_(threads), media_type_(media_type) {}
  Status open_input(Source source);
  // A path or URL that FFmpeg opens itself.
  Status open_path(const std::string& path);
  // A source read through `reader`, behind the custom I/O context.
  Status open_reader(std::unique_ptr<Reader> reader);
  // A new format context with the interrupt callback (and the custom I/O context, if
  // any), opened on `url`.
  Status open_url(const char* url, DictionaryPtr options);
  Status choose_stream(std::optional<int> stream_index);
  Status open_codec();
  // Replaces the codec context with a newly opened one; on failure the current one stays.
  Status restart();
  // Seeks to the start of the stream, at or before its first packet.
  Status rewind();
  // For the packet map: the next packet of the stream, read without decoding (packets
  // of other streams are passed over); none at the end of the container.
  Result<std::optional<PacketInfo>> scan_packet();
  // Returns the pump to its initial state; every seek is followed by it.
  void reset_after_seek();
  // Reads every packet of the stream from where the demuxer stands.
  Result<std::shared_ptr<const PacketMap>> read_packet_map();
  // Dates `packets` (every packet of the stream, in container order) by a decode from
  // the start: each gets the timestamp of the frame decoded from it, AV_NOPTS_VALUE
  // when none comes out.
  Status number_frames(std::vector<MappedPacket>& packets);
  // With the map: reading resumes where packet `key` is decoded; with `from_start`,
  // every frame is delivered, otherwise only those presented from the key frame on.
  Status seek_to_key(size_t key, bool from_start);
  // The timestamp of the last key frame at or before `ts` in the demuxer's index (in
  // the map, where seeks go by it); none when there is no such entry.
  std::optional<int64_t> indexed_key_frame(int64_t ts) const noexcept;
  // Whether decoding on towards `target` gives what a seek to `seek_pts` and a decode
  // from there would (see SentKeyFrames::passes_seek); false when the index cannot tell.
  bool passes_seek(int64_t seek_pts, int64_t target) const noexcept;
  // Byte seek to `pos` (where the map was read from, or a packet of it).
  Status seek_bytes(int64_t pos);
  // av_seek_frame with `flags` on the stream, from a cleared I/O error state; the pump
  // then starts afresh.
  Status seek_frame(int64_t target, int flags);
  // With the map: gives the packet just read the timestamps a read from the start gave
  // it (true), or passes it over (false: a fragment before the first packet the map
  // lists at the landing position). Fails when the packets do not follow the map.
  Result<bool> restore_timestamps(AVPacket& packet);
  // Gives the frame just decoded a timestamp where the decoder left none and the frame
  // before it ends where this one starts.
  void date_frame() noexcept;
  // Whether the work must stop: the hook asked for it, or a read through the I/O
  // context was told to exit (FFmpeg's interrupt callback, or a file-like object's
  // reader keeping the caller's exception).
  bool interrupted() noexcept;
  // check() for reads and seeks: their failure while the work is being stopped is the
  // stop, not a damaged file.
  Status check_io(int code, const char* context);
  // At the end of the container: a demuxer may report a failed read (or one told to
  // exit) as the end of the file, which the I/O context still remembers. Returning
  // what was read so far as the whole stream would be a failure passed off as success.
  Status check_end(const char* context);
  // FFmpeg's AVIOInterruptCB; `opaque` is the engine.
  static int interrupt_callback(void* opaque) noexcept;

  // Released in the order the destructor writes out; a half-built engine goes the
  // same way, every step tolerating an empty member.
  FormatContextPtr format_context_;
  CodecContextPtr codec_context_;
  PacketPtr packet_;  // empty whenever no engine call is running
  FramePtr frame_;
  IoContextPtr io_context_;
  // The custom I/O context holds the reader's address, so the reader lives on the heap.
  std::unique_ptr<Reader> reader_;

  Rational time_base_;
  int width_ = 0;
  int height_ = 0;
  AVPixelFormat pixel_format_ = AV_PIX_FMT_NONE;
  int stream_index_ = 0;
  int threads_;
  MediaType media_type_;
  Interrupt interrupt_;
  bool draining_ = false;
  bool aim_drained_ = false;  // the drain was the aim's, not the container's end
  FrameSkip skip_;
  SentKeyFrames sent_keys_;
  // Whether any packet has been read since the open (a fresh engine needs no rewind).
  bool read_since_open_ = false;

  // Whether seeks go to packets of the map by byte position rather than through the
  // container's timestamp seek (MPEG program and transport streams, elementary streams).
  bool seeks_by_map_ = false;
  std::shared_ptr<const PacketMap> map_;
  // After a seek by the map (none before the first): the map's index of the next
  // packet of the stream to be read, the key frame decoding resumed for, and the
  // timestamp below which decoded frames are passed over (frames of packets before
  // the key frame, and its leading pictures, whose references precede it).
  std::optional<size_t> map_next_;
  bool map_found_ = false;   // the packet at map_next_ has been found since the seek
  unsigned map_passed_ = 0;  // packets passed over while looking for it
  size_t map_key_ = 0;
  int64_t deliver_from_ = AV_NOPTS_VALUE;
  // The end (timestamp plus duration) of the last frame decoded since the seek.
  int64_t last_frame_end_ = AV_NOPTS_VALUE;
};

}  // namespace ffmpeg
