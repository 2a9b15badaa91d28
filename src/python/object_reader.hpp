// The reader over a Python file-like object: the media side sees it as a Reader only.
// It takes the interpreter lock itself for each call, since FFmpeg calls it while an
// engine operation runs with the lock released.
#pragma once

#include "python/python.hpp"

#include <cstdint>

#include "ffmpeg/engine/reader.hpp"

namespace av {

// One strong reference to a Python object. Releasing it takes the interpreter lock,
// so the engine may be dropped on a thread that has released the lock.
class PyOwned {
 public:
  PyOwned() = default;
  explicit PyOwned(PyObject* strong) noexcept : p_(strong) {}
  PyOwned(PyOwned&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PyOwned& operator=(PyOwned&& o) noexcept;
  PyOwned(const PyOwned&) = delete;
  PyOwned& operator=(const PyOwned&) = delete;
  ~PyOwned();
  PyObject* get() const noexcept { return p_; }

 private:
  PyObject* p_ = nullptr;
};

// Calls the object's read(size) and seek(offset, whence), taking the interpreter lock
// for each call: FFmpeg calls a reader while an engine operation runs without it.
class ObjectReader final : public ffmpeg::Reader {
 public:
  explicit ObjectReader(PyOwned object) noexcept : object_(std::move(object)) {}

  // seek(0, 0); a raised exception becomes "<type name>: <text>".
  ffmpeg::Status start() override;
  int read(uint8_t* buffer, int size) noexcept override;
  int64_t seek(int64_t offset, int whence) noexcept override;

 private:
  PyOwned object_;
  // A seek that returned something other than a position may still have moved the
  // object (one that returns None after seeking does): FFmpeg's idea of the position
  // is then wrong, and reading on would hand it bytes from elsewhere, which a demuxer
  // can take for the end of the file. Reads fail until a seek succeeds.
  bool position_lost_ = false;
};

}  // namespace av
