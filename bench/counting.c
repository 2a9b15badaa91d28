// Counts the FFmpeg calls the extension makes, from outside it: preloaded
// (LD_PRELOAD), it stands in front of av_seek_frame, avcodec_send_packet and
// avcodec_receive_frame, forwards each call to the real function and keeps counts.
// Calls within one FFmpeg library are bound directly and never seen; libavformat's
// calls into libavcodec while opening are, so the benchmark takes (and drops) the
// counts after the open. It reads them with ctypes.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>

#define MAX_SEEKS 4096
#define STR(x) #x
#define XSTR(x) STR(x)
#define SONAME(lib, major) "lib" lib ".so." XSTR(major)
#define FORMAT SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR)
#define CODEC SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR)

static struct {
  int64_t seeks;
  int64_t seek_targets[MAX_SEEKS];
  int64_t packets_sent;
  int64_t frames_received;
  int64_t last_frame_pts;  // of the latest frame received
  int64_t max_frame_pts;
} counts;

// The extension loads FFmpeg privately (Python's dlopen without RTLD_GLOBAL), where
// RTLD_NEXT does not look: ask the already loaded library itself.
static void* real(const char* library, const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (f) return f;
  void* handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
  return handle ? dlsym(handle, name) : NULL;
}

int av_seek_frame(AVFormatContext* s, int stream_index, int64_t timestamp, int flags) {
  static int (*next)(AVFormatContext*, int, int64_t, int);
  if (!next) next = (int (*)(AVFormatContext*, int, int64_t, int))real(FORMAT, "av_seek_frame");
  if (counts.seeks < MAX_SEEKS) counts.seek_targets[counts.seeks] = timestamp;
  counts.seeks++;
  return next(s, stream_index, timestamp, flags);
}

int avcodec_send_packet(AVCodecContext* avctx, const AVPacket* packet) {
  static int (*next)(AVCodecContext*, const AVPacket*);
  if (!next) next = (int (*)(AVCodecContext*, const AVPacket*))real(CODEC, "avcodec_send_packet");
  if (packet) counts.packets_sent++;
  return next(avctx, packet);
}

int avcodec_receive_frame(AVCodecContext* avctx, AVFrame* frame) {
  static int (*next)(AVCodecContext*, AVFrame*);
  if (!next) next = (int (*)(AVCodecContext*, AVFrame*))real(CODEC, "avcodec_receive_frame");
  const int r = next(avctx, frame);
  if (r >= 0) {
    const int64_t pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    if (counts.frames_received == 0 || pts > counts.max_frame_pts) counts.max_frame_pts = pts;
    counts.last_frame_pts = pts;
    counts.frames_received++;
  }
  return r;
}

// Copies the counts out and starts again from zero. `targets` receives up to
// `capacity` seek targets.
void counting_take(int64_t out[5], int64_t* targets, int64_t capacity) {
  out[0] = counts.seeks;
  out[1] = counts.packets_sent;
  out[2] = counts.frames_received;
  out[3] = counts.max_frame_pts;
  out[4] = counts.last_frame_pts;
  for (int64_t i = 0; i < counts.seeks && i < capacity && i < MAX_SEEKS; ++i)
    targets[i] = counts.seek_targets[i];
  counts.seeks = counts.packets_sent = counts.frames_received = 0;
  counts.max_frame_pts = counts.last_frame_pts = 0;
}
