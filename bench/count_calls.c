// Counts, in a process started with LD_PRELOAD=count_calls.so, the heap allocations
// (malloc, calloc, realloc, posix_memalign, aligned_alloc, memalign: av_malloc ends in
// posix_memalign) and the scaler and frame-buffer set-ups (sws_getContext,
// av_frame_get_buffer) made between count_start() and count_stop(). Read the counters
// with count_get(i), in the order of the enum below. bench/transforms.py drives it
// through ctypes.
//
// The allocators forward to glibc's __libc_* entry points, so no lookup (which itself
// allocates) is needed for them. A preloaded definition without a version satisfies the
// versioned references of the extension (sws_getContext@LIBSWSCALE_8), so every call the
// extension makes passes through here; calls inside one FFmpeg library to its own
// functions do not, which is what we want: the extension's own set-ups are counted.
// Python loads extensions with RTLD_LOCAL, so the FFmpeg libraries are not in the global
// scope that dlsym(RTLD_NEXT) searches: the real functions are looked up in the
// already-loaded libraries by their sonames.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

enum { MALLOC, CALLOC, REALLOC, MEMALIGN, SWS_GET_CONTEXT, FRAME_GET_BUFFER, COUNTERS };

static long counts[COUNTERS];
static int active;

static void bump(int i) {
  if (__atomic_load_n(&active, __ATOMIC_RELAXED)) __atomic_fetch_add(&counts[i], 1, __ATOMIC_RELAXED);
}

void count_start(void) {
  for (int i = 0; i < COUNTERS; ++i) __atomic_store_n(&counts[i], 0, __ATOMIC_RELAXED);
  __atomic_store_n(&active, 1, __ATOMIC_SEQ_CST);
}
void count_stop(void) { __atomic_store_n(&active, 0, __ATOMIC_SEQ_CST); }
long count_get(int i) { return i >= 0 && i < COUNTERS ? __atomic_load_n(&counts[i], __ATOMIC_RELAXED) : -1; }

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

static void* real_function(const char* library, const char* name) {
  void* handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
  void* f = handle ? dlsym(handle, name) : NULL;
  if (!f) abort();
  return f;
}

typedef void* (*GetContext)(int, int, int, int, int, int, int, void*, void*, const double*);
void* sws_getContext(int src_w, int src_h, int src_format, int dst_w, int dst_h, int dst_format,
                     int flags, void* src_filter, void* dst_filter, const double* param) {
  static GetContext real;
  if (!real) real = (GetContext)real_function("libswscale.so.8", "sws_getContext");
  bump(SWS_GET_CONTEXT);
  return real(src_w, src_h, src_format, dst_w, dst_h, dst_format, flags, src_filter, dst_filter,
              param);
}

typedef int (*GetBuffer)(void*, int);
int av_frame_get_buffer(void* frame, int align) {
  static GetBuffer real;
  if (!real) real = (GetBuffer)real_function("libavutil.so.59", "av_frame_get_buffer");
  bump(FRAME_GET_BUFFER);
  return real(frame, align);
}
