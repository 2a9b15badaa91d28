// The readers behind FFmpeg's custom I/O, for sources that are not a path: the private
// copy of a bytes object here, a file-like object in object_reader.hpp.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "ffmpeg/error.hpp"

namespace ffmpeg {

class Reader {
 public:
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  virtual ~Reader() = default;

  // Called once before the open: back to the first byte.
  virtual Status start() = 0;
  // FFmpeg's read and seek callbacks (`size` is positive). They never let a failure
  // escape: every failure is a negative FFmpeg error code.
  virtual int read(uint8_t* buffer, int size) noexcept = 0;
  virtual int64_t seek(int64_t offset, int whence) noexcept = 0;
};

class MemoryReader final : public Reader {
 public:
  explicit MemoryReader(std::vector<uint8_t> data) noexcept : data_(std::move(data)) {}

  Status start() override;
  int read(uint8_t* buffer, int size) noexcept override;
  int64_t seek(int64_t offset, int whence) noexcept override;

 private:
  std::vector<uint8_t> data_;
  uint64_t position_ = 0;
};

// The callbacks given to avio_alloc_context; `opaque` is a Reader.
int read_memory(void* opaque, uint8_t* buffer, int size) noexcept;
int64_t seek_memory(void* opaque, int64_t offset, int whence) noexcept;

}  // namespace ffmpeg
