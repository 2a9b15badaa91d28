// Opening the input and configuring the stream's decoder: the engine's constructor
// and its restart.
#include <cstring>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/engine/url_options.hpp"

namespace ffmpeg {
namespace {

constexpr int kIoBufferSize = 32768;

// Nested resources an in-memory input may name (concat lists, manifests, playlists,
// SDP) must not reach the file system or the network: the caller handed us bytes, not
// a location. data: URIs carry their own content, and crypto: only wraps another
// protocol, which this list refuses.
constexpr const char* kInMemoryProtocols = "crypto,data";

// avformat_open_input frees the context itself on failure and nulls the pointer; it
// replaces the options with the ones it did not consume. Returns its result code.
int open_format(FormatContextPtr& context, const char* url, DictionaryPtr options) {
  AVFormatContext* raw = context.release();
  AVDictionary* raw_options = options.release();
  const int r = avformat_open_input(&raw, url, nullptr, &raw_options);
  context.reset(raw);
  options.reset(raw_options);
  return r;
}

// The stream's decoder, configured and opened from the stream's parameters.
Result<CodecContextPtr> open_codec_context(const AVStream& stream, int threads) {
  const AVCodecParameters* par = stream.codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return Error::runtime("FFmpeg has no decoder for this codec");
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return Error::runtime("cannot allocate codec context");
  TRY(check(avcodec_parameters_to_context(context.get(), par), "configure decoder"));
  context->thread_count = threads;
  context->pkt_timebase = stream.time_base;
  TRY(check(avcodec_open2(context.get(), codec, nullptr), "open decoder"));
  return context;
}

// Containers whose timestamp seek cannot be trusted for video. MPEG program and
// transport streams seek by decoding time, so a seek to a key frame's pts lands after
// it, and after a seek FFmpeg no longer derives the timestamps of packets that have
// none; elementary streams have no timestamps to seek by. All of them seek by byte
// position, to packets that a read from the start has mapped.
bool seeks_by_bytes(const AVFormatContext& context) {
  const AVInputFormat* format = context.iformat;
  if (format->flags & AVFMT_NO_BYTE_SEEK) return false;
  if (!context.pb || !(context.pb->seekable & AVIO_SEEKABLE_NORMAL)) return false;
  if (format->flags & AVFMT_NOTIMESTAMPS) return true;
  return std::strcmp(format->name, "mpeg") == 0 || std::strcmp(format->name, "mpegts") == 0;
}

}  // namespace

Result<std::unique_ptr<Decoder>> Decoder::open(Source source, const OpenOptions& options) {
  std::unique_ptr<Decoder> d(new Decoder(options.media_type, options.threads));
  d->interrupt_.arm(options.interrupt);
  TRY(d->open_input(std::move(source)));
  TRY(d->check_io(avformat_find_stream_info(d->format_context_.get(), nullptr),
                  "read stream metadata"));
  // A stream-info probe that a stop cut short may still return success.
  if (d->interrupted()) return Error::interrupted();
  TRY(d->choose_stream(options.stream_index));
  TRY(d->open_codec());
  d->skip_.enable(FrameSkip::suits(d->stream()), FrameSkip::reorder_depth(d->stream()));
  d->seeks_by_map_ = d->media_type_ == MediaType::Video && seeks_by_bytes(*d->format_context_);
  d->interrupt_.arm(nullptr);
  return d;
}

Status Decoder::open_input(Source source) {
  // Every kind of source is handled here; a new one does not compile until it is.
  struct Open {
    Decoder& d;
    Status operator()(source::Path& path) { return d.open_path(path.text); }
    Status operator()(source::Bytes& bytes) {
      return d.open_reader(std::make_unique<MemoryReader>(std::move(bytes.data)));
    }
    Status operator()(source::Custom& custom) { return d.open_reader(std::move(custom.reader)); }
  };
  return std::visit(Open{*this}, source);
}

Status Decoder::open_path(const std::string& path) {
  if (std::memchr(path.data(), '\0', path.size())) return Error::invalid("path contains NUL");
  ProtocolLog log;
  TRY_ASSIGN(DictionaryPtr url, url_options(path, false));
  Status opened = open_url(path.c_str(), std::move(url));
  if (opened && needs_forward_cache(*format_context_, path)) {
    TRY_ASSIGN(url, url_options(path, true));
    opened = open_url(("cache:" + path).c_str(), std::move(url));
  }
  if (!opened && opened.error().kind != ErrorKind::Interrupted)
    return log.explain(std::move(opened).error());
  return opened;
}

Status Decoder::open_reader(std::unique_ptr<Reader> reader) {
  reader_ = std::move(reader);
  TRY(reader_->start());
  AvBufferPtr buffer(static_cast<uint8_t*>(av_malloc(kIoBufferSize)));
  if (!buffer) return Error::runtime("cannot allocate input buffer");
  AVIOContext* io = avio_alloc_context(buffer.get(), kIoBufferSize, 0, reader_.get(), read_memory,
                                       nullptr, seek_memory);
  if (!io) return Error::runtime("cannot allocate input context");
  buffer.release();  // owned by the I/O context from here on
  io_context_.reset(io);
  AVDictionary* options = nullptr;
  const int r = av_dict_set(&options, "protocol_whitelist", kInMemoryProtocols, 0);
  DictionaryPtr owned_options(options);
  TRY(check(r, "open input"));
  return open_url(nullptr, std::move(owned_options));
}

Status Decoder::open_url(const char* url, DictionaryPtr options) {
  // Allocated here rather than by avformat_open_input so that the interrupt callback
  // is in place for the open itself, which for a URL can block on the network. A
  // context opened before (a URL reopened through the cache protocol) is closed first.
  format_context_.reset(avformat_alloc_context());
  if (!format_context_) return Error::runtime("cannot allocate format context");
  format_context_->interrupt_callback = {interrupt_callback, this};
  if (io_context_) {
    format_context_->pb = io_context_.get();
    format_context_->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  return check_io(open_format(format_context_, url, std::move(options)), "open input");
}

Status Decoder::choose_stream(std::optional<int> stream_index) {
  const auto type = media_type_ == MediaType::Video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
  const int index = stream_index
                        ? *stream_index
                        : av_find_best_stream(format_context_.get(), type, -1, -1, nullptr, 0);
  if (index < 0 || static_cast<unsigned>(index) >= format_context_->nb_streams)
    return Error::invalid("no valid stream of the requested media type");
  stream_index_ = index;
  const AVCodecParameters* par = stream().codecpar;
  if (par->codec_type != type) return Error::invalid("stream has the wrong media type");
  if (media_type_ == MediaType::Video) {
    pixel_format_ = static_cast<AVPixelFormat>(par->format);
    width_ = par->width;
    height_ = par->height;
  }
  const AVRational tb = stream().time_base;
  time_base_ = {tb.num, tb.den};
  if (tb.num < 1 || tb.den < 1) return Error::runtime("invalid stream time base");
  return ok();
}

Status Decoder::open_codec() {
  TRY_ASSIGN(codec_context_, open_codec_context(stream(), threads_));
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) return Error::runtime("cannot allocate decoding buffers");
  return ok();
}

Status Decoder::restart() {
  TRY_ASSIGN(codec_context_, open_codec_context(stream(), threads_));
  return ok();
}

}  // namespace ffmpeg
