#include "ffmpeg/output/block_pool.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>

namespace ffmpeg {
namespace {

// Each block is one page-aligned mapping that starts with this header; the data follows.
struct Header {
  size_t mapped;  // bytes of the whole mapping
};
constexpr size_t kHeader = 64;
constexpr size_t kPage = 4096;
constexpr int kKept = 2;  // two decoders on two threads each find one
constexpr size_t kKeptBytesLimit = size_t{8} << 30;

struct Pool {
  std::mutex mutex;
  Header* kept[kKept] = {};
  size_t kept_bytes = 0;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: blocks may be released at exit
  return *p;
}

Header* header_of(void* data) {
  return reinterpret_cast<Header*>(static_cast<uint8_t*>(data) - kHeader);
}

void* data_of(Header* h) { return reinterpret_cast<uint8_t*>(h) + kHeader; }

}  // namespace

void* acquire_block(size_t bytes) noexcept {
  if (bytes > SIZE_MAX - kHeader - kPage) return nullptr;
  const size_t needed = bytes + kHeader;
  {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    int best = -1;
    for (int i = 0; i < kKept; ++i) {
      if (p.kept[i] && p.kept[i]->mapped >= needed &&
          (best < 0 || p.kept[i]->mapped < p.kept[best]->mapped))
        best = i;
    }
    if (best >= 0) {
      Header* h = p.kept[best];
      p.kept[best] = nullptr;
      p.kept_bytes -= h->mapped;
      return data_of(h);
    }
  }
  // No MADV_HUGEPAGE: where the system grants huge pages only on request it may first
  // compact memory to find them, a stall measured here at seconds per gigabyte.
  const size_t mapped = (needed + kPage - 1) / kPage * kPage;
  void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  auto* h = static_cast<Header*>(base);
  h->mapped = mapped;
  return data_of(h);
}

void release_block(void* data) noexcept {
  if (!data) return;
  Header* h = header_of(data);
  Pool& p = pool();
  {
    std::lock_guard lock(p.mutex);
    for (int i = 0; i < kKept; ++i) {
      if (!p.kept[i] && p.kept_bytes + h->mapped <= kKeptBytesLimit) {
#ifdef MADV_FREE
        // Everything past the header's page may be reclaimed; the header stays.
        madvise(reinterpret_cast<uint8_t*>(h) + kPage, h->mapped - kPage, MADV_FREE);
#endif
        p.kept[i] = h;
        p.kept_bytes += h->mapped;
        return;
      }
    }
  }
  munmap(h, h->mapped);
}

}  // namespace ffmpeg
