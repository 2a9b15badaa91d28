// One owning smart pointer per FFmpeg type, each released by that type's own free
// function. Nothing outside this header calls an FFmpeg free function by hand.
#pragma once

#include <memory>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace ffmpeg {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const noexcept { Free(p); }
};

namespace detail {
inline void free_frame(AVFrame* p) noexcept { av_frame_free(&p); }
inline void free_packet(AVPacket* p) noexcept { av_packet_free(&p); }
inline void free_codec_context(AVCodecContext* p) noexcept { avcodec_free_context(&p); }
inline void close_input(AVFormatContext* p) noexcept { avformat_close_input(&p); }
inline void free_swr(SwrContext* p) noexcept { swr_free(&p); }
inline void free_dict(AVDictionary* p) noexcept { av_dict_free(&p); }
// FFmpeg never frees a custom I/O context itself, and it may have replaced the buffer
// we gave it: free the one the context holds now, then the context.
inline void free_io_context(AVIOContext* p) noexcept {
  av_freep(&p->buffer);
  avio_context_free(&p);
}
}  // namespace detail

using FramePtr = std::unique_ptr<AVFrame, Deleter<detail::free_frame>>;
using PacketPtr = std::unique_ptr<AVPacket, Deleter<detail::free_packet>>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, Deleter<detail::free_codec_context>>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, Deleter<detail::close_input>>;
using IoContextPtr = std::unique_ptr<AVIOContext, Deleter<detail::free_io_context>>;
using SwsContextPtr = std::unique_ptr<SwsContext, Deleter<sws_freeContext>>;
using SwrContextPtr = std::unique_ptr<SwrContext, Deleter<detail::free_swr>>;
using DictionaryPtr = std::unique_ptr<AVDictionary, Deleter<detail::free_dict>>;
// Buffers from av_malloc.
using AvBufferPtr = std::unique_ptr<uint8_t, Deleter<av_free>>;

// A channel layout is a value, not a pointer, but a custom-order layout owns a channel
// map that only av_channel_layout_uninit releases: this holder owns one such value.
class ChannelLayout {
 public:
  ChannelLayout() noexcept = default;
  ChannelLayout(const ChannelLayout&) = delete;
  ChannelLayout& operator=(const ChannelLayout&) = delete;
  ChannelLayout(ChannelLayout&& o) noexcept : layout_(o.layout_) { o.layout_ = {}; }
  ChannelLayout& operator=(ChannelLayout&& o) noexcept {
    std::swap(layout_, o.layout_);
    return *this;
  }
  ~ChannelLayout() { av_channel_layout_uninit(&layout_); }

  AVChannelLayout* get() noexcept { return &layout_; }
  const AVChannelLayout* get() const noexcept { return &layout_; }

 private:
  AVChannelLayout layout_{};
};

}  // namespace ffmpeg
