// Preloaded (LD_PRELOAD) into the benchmark's counting worker, this library stands in front
// of some of the calls the extension makes and counts them: seeks (av_seek_frame, with their
// targets), packets sent, frames decoded (the picture buffers the decoder asks for through
// the get_buffer2 callback that avcodec_open2 finds) and frames received, scaler and
// frame-buffer set-ups
// (sws_getContext, av_frame_get_buffer), and every heap allocation of the process (malloc,
// calloc, realloc and the aligned ones: av_malloc ends in posix_memalign). bench/tools.py
// resets and reads the counts through ctypes.
//
// A preloaded definition without a version satisfies the extension's versioned references
// (sws_getContext@LIBSWSCALE_8), so each of its calls passes through here. Calls inside one
// FFmpeg library to its own functions do not, which is what is wanted; libavformat's calls
// into libavcodec while opening do, so the benchmark resets the counts after an open.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>


enum {
  SEEKS, PACKETS_SENT, FRAMES_RECEIVED, MAX_FRAME_PTS, MALLOC, CALLOC, REALLOC, MEMALIGN,
  SWS_GET_CONTEXT, FRAME_GET_BUFFER, FRAMES_DECODED, COUNTERS
};
#define MAX_SEEKS 4096

static int64_t counts[COUNTERS];
static int64_t seek_targets[MAX_SEEKS];

// Allocations come from any thread (the decoder's own threads too).
static void bump(int i) { __atomic_fetch_add(&counts[i], 1, __ATOMIC_RELAXED); }

const char* counting_names(void) {
  return "seeks packets_sent frames_received max_frame_pts malloc calloc realloc memalign "
         "sws_getContext av_frame_get_buffer frames_decoded";
}

void counting_reset(void) {
  for (int i = 0; i < COUNTERS; ++i) __atomic_store_n(&counts[i], 0, __ATOMIC_RELAXED);
  counts[MAX_FRAME_PTS] = INT64_MIN;
}

// Copies the counters (in the order of counting_names) into `out` and up to `capacity` seek
// targets into `targets`.
void counting_read(int64_t out[COUNTERS], int64_t* targets, int64_t capacity) {
  for (int i = 0; i < COUNTERS; ++i) out[i] = __atomic_load_n(&counts[i], __ATOMIC_RELAXED);
  for (int64_t i = 0; i < counts[SEEKS] && i < capacity && i < MAX_SEEKS; ++i)
    targets[i] = seek_targets[i];
}

// The allocators forward to glibc's own entry points, so that no lookup (which allocates
// itself) stands in their way.
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
  bump(MALLOC);
  return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
  bump(CALLOC);
  return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
  bump(REALLOC);
  return __libc_realloc(p, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
  bump(MEMALIGN);
  if (alignment % sizeof(void*) || (alignment & (alignment - 1))) return EINVAL;
  void* p = __libc_memalign(alignment, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void* aligned_alloc(size_t alignment, size_t n) {
  bump(MEMALIGN);
  return __libc_memalign(alignment, n);
}
void* memalign(size_t alignment, size_t n) {
  bump(MEMALIGN);
  return __libc_memalign(alignment, n);
}

// Python loads extensions with RTLD_LOCAL, so the FFmpeg libraries are not in the global
// scope that dlsym(RTLD_NEXT) searches: the real functions are looked up in the already
// loaded library whose file name starts with the library's name, "libavcodec.so.61" of a
// development build or the renamed "libavcodec-<hash>.so.61..." that a wheel bundles.
struct loaded {
  const char* stem;
  const char* path;
};
static int find_loaded(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  struct loaded* wanted = data;
  const char* slash = strrchr(info->dlpi_name, '/');
  const char* file = slash ? slash + 1 : info->dlpi_name;
  const size_t n = strlen(wanted->stem);
  if (strncmp(file, wanted->stem, n) != 0 || (file[n] != '.' && file[n] != '-')) return 0;
  wanted->path = info->dlpi_name;
  return 1;
}
static void* real(const char* library, const char* name) {
  struct loaded wanted = {library, NULL};
  dl_iterate_phdr(find_loaded, &wanted);
  void* handle = wanted.path ? dlopen(wanted.path, RTLD_LAZY | RTLD_NOLOAD) : NULL;
  void* f = handle ? dlsym(handle, name) : NULL;
  if (!f) abort();
  return f;
}
#define REAL(f, lib) \
  static __typeof__(f)* next; \
  if (!next) next = (__typeof__(f)*)real("lib" lib, #f)

int av_seek_frame(AVFormatContext* s, int stream_index, int64_t timestamp, int flags) {
  REAL(av_seek_frame, "avformat");
  const int64_t i = __atomic_fetch_add(&counts[SEEKS], 1, __ATOMIC_RELAXED);
  if (i < MAX_SEEKS) seek_targets[i] = timestamp;
  return next(s, stream_index, timestamp, flags);
}

int avcodec_send_packet(AVCodecContext* avctx, const AVPacket* packet) {
  REAL(avcodec_send_packet, "avcodec");
  if (packet) bump(PACKETS_SENT);
  return next(avctx, packet);
}

int avcodec_receive_frame(AVCodecContext* avctx, AVFrame* frame) {
  REAL(avcodec_receive_frame, "avcodec");
  const int r = next(avctx, frame);
  if (r >= 0) {
    const int64_t pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    if (pts > counts[MAX_FRAME_PTS]) counts[MAX_FRAME_PTS] = pts;
    bump(FRAMES_RECEIVED);
  }
  return r;
}

// A decoded frame needs a picture buffer; a frame left undecoded (skip_frame) gets none. Frames
// decoded but flushed before they are received count here, not among the frames received.
static int (*default_get_buffer2)(AVCodecContext*, AVFrame*, int);
static int counting_get_buffer2(AVCodecContext* s, AVFrame* frame, int flags) {
  bump(FRAMES_DECODED);
  return default_get_buffer2(s, frame, flags);
}

int avcodec_open2(AVCodecContext* avctx, const AVCodec* codec, AVDictionary** options) {
  REAL(avcodec_open2, "avcodec");
  if (!default_get_buffer2)
    default_get_buffer2 = (__typeof__(default_get_buffer2))real(
        "libavcodec", "avcodec_default_get_buffer2");
  if (avctx && avctx->get_buffer2 == default_get_buffer2) avctx->get_buffer2 = counting_get_buffer2;
  return next(avctx, codec, options);
}

struct SwsContext* sws_getContext(int src_w, int src_h, enum AVPixelFormat src_format, int dst_w,
                                  int dst_h, enum AVPixelFormat dst_format, int flags,
                                  SwsFilter* src_filter, SwsFilter* dst_filter,
                                  const double* param) {
  REAL(sws_getContext, "swscale");
  bump(SWS_GET_CONTEXT);
  return next(src_w, src_h, src_format, dst_w, dst_h, dst_format, flags, src_filter, dst_filter,
              param);
}

int av_frame_get_buffer(AVFrame* frame, int align) {
  REAL(av_frame_get_buffer, "avutil");
  bump(FRAME_GET_BUFFER);
  return next(frame, align);
}
