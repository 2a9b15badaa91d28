// What a source is (path, bytes, file-like object) and the reader state behind
// FFmpeg's custom I/O for the last two kinds.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "ffmpeg/error.hpp"

struct _object;  // PyObject, without pulling the Python headers into media code

namespace ffmpeg {

// One strong reference to a Python object. Releasing it takes the interpreter lock,
// so the engine may be dropped on a thread that has released the lock.
class PyOwned {
 public:
  PyOwned() = default;
  explicit PyOwned(_object* strong) noexcept : p_(strong) {}
  PyOwned(PyOwned&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PyOwned& operator=(PyOwned&& o) noexcept;
  PyOwned(const PyOwned&) = delete;
  PyOwned& operator=(const PyOwned&) = delete;
  ~PyOwned();
  _object* get() const noexcept { return p_; }

 private:
  _object* p_ = nullptr;
};

namespace source {
struct Path {
  std::string text;  // UTF-8
};
struct Bytes {
  std::vector<uint8_t> data;
};
struct Object {
  PyOwned object;
};
}  // namespace source
using Source = std::variant<source::Path, source::Bytes, source::Object>;

struct MemoryReader {
  std::vector<uint8_t> data;
  uint64_t position = 0;
};
struct ObjectReader {
  PyOwned object;  // its own stream position is the read position
};
using Reader = std::variant<MemoryReader, ObjectReader>;

// FFmpeg's custom I/O callbacks; `opaque` is a Reader. They never let a failure
// escape: every failure is a negative FFmpeg error code.
int read_memory(void* opaque, uint8_t* buffer, int size) noexcept;
int64_t seek_memory(void* opaque, int64_t offset, int whence) noexcept;

// Calls the file-like object's seek(0, 0) before the open; a raised exception
// becomes "<type name>: <text>".
Status rewind_object(const ObjectReader& reader);

// The Python object a reader holds, if any (for the garbage collector).
_object* held_object(const Reader& reader) noexcept;

}  // namespace ffmpeg
