// The limit for decode_video: FFmpeg's own decode loop plus sws_scale to RGB24 into one
// preallocated buffer, single-threaded, nothing else. Prints the frame count, then the
// wall-clock, user and system seconds from opening the file to the last converted frame.
//
// With --into-batch it writes frame i into slot i of one zero-filled allocation for
// every frame (counted from the stream header), as an array of all frames needs: that
// adds what producing a large fresh array costs (page faults, the kernel zeroing pages,
// writes that miss the cache) and nothing else.
//
// Build: see `make bench-video`. Run: limit [--into-batch] FILE
#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

static void fail(const char* what, int code) {
  char text[256] = {0};
  av_strerror(code, text, sizeof text);
  std::fprintf(stderr, "%s: %s\n", what, text);
  std::exit(1);
}

int main(int argc, char** argv) {
  const bool into_batch = argc == 3 && std::strcmp(argv[1], "--into-batch") == 0;
  if (argc != 2 && !into_batch) {
    std::fprintf(stderr, "usage: %s [--into-batch] FILE\n", argv[0]);
    return 2;
  }
  const char* path = argv[argc - 1];
  const auto start = std::chrono::steady_clock::now();
  rusage usage_start;
  getrusage(RUSAGE_SELF, &usage_start);
  AVFormatContext* format = nullptr;
  int r = avformat_open_input(&format, path, nullptr, nullptr);
  if (r < 0) fail("open input", r);
  if ((r = avformat_find_stream_info(format, nullptr)) < 0) fail("read stream metadata", r);
  const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) fail("find stream", index);
  const AVCodecParameters* par = format->streams[index]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AVCodecContext* decoder = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(decoder, par);
  decoder->thread_count = 1;
  decoder->pkt_timebase = format->streams[index]->time_base;
  if ((r = avcodec_open2(decoder, codec, nullptr)) < 0) fail("open decoder", r);

  const int width = par->width, height = par->height;
  SwsContext* sws = sws_getContext(width, height, static_cast<AVPixelFormat>(par->format), width,
                                   height, AV_PIX_FMT_RGB24, 0, nullptr, nullptr, nullptr);
  if (!sws) fail("colour converter", AVERROR(EINVAL));
  const size_t picture = static_cast<size_t>(width) * height * 3;
  const size_t slots = into_batch ? static_cast<size_t>(format->streams[index]->nb_frames) : 1;
  const size_t bytes = picture * slots + 64;
  uint8_t* rgb = static_cast<uint8_t*>(std::calloc(bytes, 1));
  if (into_batch) {  // the same huge-page advice as the module's batch
    const uintptr_t huge = uintptr_t{2} << 20, base = reinterpret_cast<uintptr_t>(rgb);
    const uintptr_t begin = (base + huge - 1) & ~(huge - 1), end = (base + bytes) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  uint8_t* dst[4] = {rgb, nullptr, nullptr, nullptr};
  const int dst_stride[4] = {width * 3, 0, 0, 0};

  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  long frames = 0;
  auto drain = [&] {
    while ((r = avcodec_receive_frame(decoder, frame)) >= 0) {
      dst[0] = rgb + picture * (static_cast<size_t>(frames) % slots);
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dst_stride);
      ++frames;
      av_frame_unref(frame);
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) fail("receive frame", r);
  };
  while (av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == index) {
      if ((r = avcodec_send_packet(decoder, packet)) < 0) fail("send packet", r);
      drain();
    }
    av_packet_unref(packet);
  }
  avcodec_send_packet(decoder, nullptr);
  drain();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage_end;
  getrusage(RUSAGE_SELF, &usage_end);
  auto delta = [](const timeval& a, const timeval& b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_usec - a.tv_usec) * 1e-6;
  };
  std::printf("%ld %.6f %.6f %.6f\n", frames, seconds,
              delta(usage_start.ru_utime, usage_end.ru_utime),
              delta(usage_start.ru_stime, usage_end.ru_stime));

  std::free(rgb);
  av_frame_free(&frame);
  av_packet_free(&packet);
  sws_freeContext(sws);
  avcodec_free_context(&decoder);
  avformat_close_input(&format);
  return 0;
}
