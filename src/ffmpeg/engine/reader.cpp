#include "ffmpeg/engine/reader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace ffmpeg {

Status MemoryReader::start() {
  position_ = 0;
  return ok();
}

int MemoryReader::read(uint8_t* buffer, int size) noexcept {
  const uint64_t length = data_.size();
  if (position_ >= length) return AVERROR_EOF;
  const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), length - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return static_cast<int>(n);
}

int64_t MemoryReader::seek(int64_t offset, int whence) noexcept {
  const auto length = static_cast<int64_t>(data_.size());
  if (whence & AVSEEK_SIZE) return length;
  int64_t base;
  switch (whence & ~(AVSEEK_SIZE | AVSEEK_FORCE)) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(position_); break;
    case SEEK_END: base = length; break;
    default: return AVERROR(EINVAL);
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > length)
    return AVERROR(EINVAL);
  position_ = static_cast<uint64_t>(target);
  return target;
}

int read_memory(void* opaque, uint8_t* buffer, int size) noexcept {
  if (size <= 0) return AVERROR(EINVAL);
  return static_cast<Reader*>(opaque)->read(buffer, size);
}

int64_t seek_memory(void* opaque, int64_t offset, int whence) noexcept {
  return static_cast<Reader*>(opaque)->seek(offset, whence);
}

}  // namespace ffmpeg
