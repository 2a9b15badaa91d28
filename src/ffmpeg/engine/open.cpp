// Opening the input and configuring the stream's decoder.
#include <cstring>

#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {
namespace {

constexpr int kIoBufferSize = 32768;

// Nested resources an in-memory input may name (concat lists, manifests, playlists,
// SDP) must not reach the file system or the network: the caller handed us bytes, not
// a location. data: URIs carry their own content, and crypto: only wraps another
// protocol, which this list refuses.
constexpr const char* kInMemoryProtocols = "crypto,data";

// Builds the reader and the custom I/O context around it.
Status prepare_custom_io(Decoder& d, Reader reader) {
  d.reader = std::make_unique<Reader>(std::move(reader));
  AvBufferPtr buffer(static_cast<uint8_t*>(av_malloc(kIoBufferSize)));
  if (!buffer) return Error::runtime("cannot allocate input buffer");
  AVIOContext* io = avio_alloc_context(buffer.get(), kIoBufferSize, 0, d.reader.get(),
                                       read_memory, nullptr, seek_memory);
  if (!io) return Error::runtime("cannot allocate input context");
  buffer.release();  // owned by the I/O context from here on
  d.io_context.reset(io);
  d.format_context.reset(avformat_alloc_context());
  if (!d.format_context) return Error::runtime("cannot allocate format context");
  d.format_context->pb = io;
  d.format_context->flags |= AVFMT_FLAG_CUSTOM_IO;
  return ok();
}

Status open_input(Decoder& d, const char* url, DictionaryPtr options) {
  // avformat_open_input frees the context itself on failure and nulls the pointer;
  // it replaces the options with the ones it did not consume.
  AVFormatContext* raw = d.format_context.release();
  AVDictionary* raw_options = options.release();
  const int r = avformat_open_input(&raw, url, nullptr, &raw_options);
  d.format_context.reset(raw);
  options.reset(raw_options);
  return check(r, "open input");
}

Status choose_stream(Decoder& d, const OpenOptions& options) {
  const auto type = d.media_type == MediaType::Video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
  const int index = options.stream_index
                        ? *options.stream_index
                        : av_find_best_stream(d.format_context.get(), type, -1, -1, nullptr, 0);
  if (index < 0 || static_cast<unsigned>(index) >= d.format_context->nb_streams)
    return Error::invalid("no valid stream of the requested media type");
  d.stream_index = index;
  const AVCodecParameters* par = d.stream()->codecpar;
  if (par->codec_type != type) return Error::invalid("stream has the wrong media type");
  if (d.media_type == MediaType::Video) {
    d.pixel_format = par->format;
    d.width = par->width;
    d.height = par->height;
  }
  const AVRational tb = d.stream()->time_base;
  d.time_base = {tb.num, tb.den};
  if (tb.num < 1 || tb.den < 1) return Error::runtime("invalid stream time base");
  return ok();
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

Status open_codec(Decoder& d, int threads) {
  d.threads = threads;
  TRY_ASSIGN(d.codec_context, open_codec_context(*d.stream(), threads));
  d.packet.reset(av_packet_alloc());
  d.frame.reset(av_frame_alloc());
  d.rgb_frame.reset(av_frame_alloc());
  if (!d.packet || !d.frame || !d.rgb_frame) return Error::runtime("cannot allocate decoding buffers");
  return ok();
}

Status open_into(Decoder& d, Source source, const OpenOptions& options) {
  if (auto* path = std::get_if<source::Path>(&source)) {
    if (std::memchr(path->text.data(), '\0', path->text.size()))
      return Error::invalid("path contains NUL");
    TRY(open_input(d, path->text.c_str(), nullptr));
  } else {
    Reader reader;
    if (auto* object = std::get_if<source::Object>(&source)) {
      ObjectReader object_reader{std::move(object->object)};
      TRY(rewind_object(object_reader));
      reader = std::move(object_reader);
    } else {
      reader = MemoryReader{std::move(std::get<source::Bytes>(source).data), 0};
    }
    TRY(prepare_custom_io(d, std::move(reader)));
    AVDictionary* options = nullptr;
    const int r = av_dict_set(&options, "protocol_whitelist", kInMemoryProtocols, 0);
    DictionaryPtr owned_options(options);
    TRY(check(r, "open input"));
    TRY(open_input(d, nullptr, std::move(owned_options)));
  }
  TRY(check(avformat_find_stream_info(d.format_context.get(), nullptr), "read stream metadata"));
  TRY(choose_stream(d, options));
  TRY(open_codec(d, options.threads));
  return ok();
}

}  // namespace

Status Decoder::restart_decoder() {
  TRY_ASSIGN(codec_context, open_codec_context(*stream(), threads));
  return ok();
}

Decoder::~Decoder() {
  transforms.resizers.clear();
  color_converter.reset();
  frame.reset();
  rgb_frame.reset();
  packet.reset();
  codec_context.reset();
  // The demuxer is closed before the custom I/O context it reads through is freed.
  format_context.reset();
  io_context.reset();
  reader.reset();
}

Result<std::unique_ptr<Decoder>> open(Source source, const OpenOptions& options) {
  auto d = std::make_unique<Decoder>(options.media_type);
  TRY(open_into(*d, std::move(source), options));
  return d;
}

}  // namespace ffmpeg
