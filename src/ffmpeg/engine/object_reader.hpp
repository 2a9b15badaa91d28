// The reader over a Python file-like object. Only the Python side creates one; the rest
// of the engine sees it as a Reader and needs no Python headers.
#pragma once

#include <cstdint>

#include "ffmpeg/engine/reader.hpp"

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

// Calls the object's read(size) and seek(offset, whence), taking the interpreter lock
// for each call: FFmpeg calls a reader while an engine operation runs without it.
class ObjectReader final : public Reader {
 public:
  explicit ObjectReader(PyOwned object) noexcept : object_(std::move(object)) {}

  // seek(0, 0); a raised exception becomes "<type name>: <text>".
  Status start() override;
  int read(uint8_t* buffer, int size) noexcept override;
  int64_t seek(int64_t offset, int whence) noexcept override;

  // The object (for the garbage collector); its own stream position is the read position.
  _object* object() const noexcept { return object_.get(); }

 private:
  PyOwned object_;
  // A seek that returned something other than a position may still have moved the
  // object (one that returns None after seeking does): FFmpeg's idea of the position
  // is then wrong, and reading on would hand it bytes from elsewhere, which a demuxer
  // can take for the end of the file. Reads fail until a seek succeeds.
  bool position_lost_ = false;
};

}  // namespace ffmpeg
