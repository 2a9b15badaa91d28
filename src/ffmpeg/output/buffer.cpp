#include "ffmpeg/output/buffer.hpp"

#include "ffmpeg/output/block_pool.hpp"

namespace ffmpeg {

OwnedBuffer OwnedBuffer::for_writing(size_t count, ElementType type, size_t slack) {
  const size_t bytes = count * element_size(type) + slack;
  if (bytes >= kPooledBytes) {
    void* p = acquire_block(bytes);
    if (!p) return {};
    return OwnedBuffer(p, count, count, type, [](void* d, size_t, size_t) { release_block(d); });
  }
  void* p = std::calloc(bytes ? bytes : 1, 1);
  if (!p) return {};
  return OwnedBuffer(p, count, count, type, [](void* d, size_t, size_t) { std::free(d); });
}

}  // namespace ffmpeg
