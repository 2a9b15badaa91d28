// The engine: every FFmpeg object of one opened stream, with one owner each.
#pragma once

#include <cstdint>
#include <optional>

#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"
#include "ffmpeg/engine/source.hpp"
#include "ffmpeg/picture/transforms.hpp"

namespace ffmpeg {

enum class MediaType : uint8_t { Video = 0, Audio = 1 };

struct Rational {
  int num = 0;
  int den = 1;
};

// The sizes and formats the colour converter was made for; it is rebuilt only when
// they change.
struct ColorKey {
  int width = 0;
  int height = 0;
  int source_format = -1;
  int destination_format = -1;
  bool operator==(const ColorKey&) const = default;
};

class Decoder {
 public:
  Decoder(MediaType media_type) : media_type(media_type) {}
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder();

  AVStream* stream() const noexcept { return format_context->streams[stream_index]; }

  // The pump: leaves one more decoded frame of the stream in `frame` (true), or
  // reports the end of the stream (false). The packet is empty on return whatever
  // the outcome; the frame holds data only until the next call.
  Result<bool> next();
  // Returns the pump to its initial state; every seek is followed by it.
  void reset_after_seek();
  // av_seek_frame backward to `target` on the stream ("seek" on failure), then the reset.
  Status seek(int64_t target);
  // Seeks to the start of the stream, at or before its first packet.
  Status rewind();
  // Replaces the codec context with a newly opened one. A flush does not return every
  // decoder to its state at open (Opus trims its pre-skip only once; AAC keeps its
  // noise generator's state), so a pass that must match a first decode starts anew.
  // On failure the current context stays.
  Status restart_decoder();

  // Release order is written out in the destructor; a half-built engine goes the
  // same way, every step tolerating an empty field.
  TransformState transforms;  // resizers and rotation buffers, kept across requests
  SwsContextPtr color_converter;
  FormatContextPtr format_context;
  CodecContextPtr codec_context;
  PacketPtr packet;
  FramePtr frame;
  FramePtr rgb_frame;
  IoContextPtr io_context;
  // The custom I/O context holds the reader's address, so the reader lives on the heap.
  std::unique_ptr<Reader> reader;

  Rational time_base;
  std::optional<ColorKey> color_key;
  int width = 0;
  int height = 0;
  int pixel_format = -1;  // AV_PIX_FMT_NONE
  int stream_index = 0;
  int threads = 1;  // the decoder's thread count, as asked for at open
  MediaType media_type;
  bool draining = false;
  // Whether any packet has been read since the open (a fresh engine needs no rewind).
  bool read_since_open = false;
};

struct OpenOptions {
  MediaType media_type = MediaType::Video;
  std::optional<int> stream_index;
  int threads = 1;
};

// Opens the source and the chosen stream's decoder. Runs with the interpreter lock
// released; on failure everything acquired so far is released before returning.
Result<std::unique_ptr<Decoder>> open(Source source, const OpenOptions& options);

}  // namespace ffmpeg
