// The Python class Decoder: instance layout, borrow flag and the calling convention
// that every method shares.
#pragma once

#include "python/python.hpp"

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>

#include "ffmpeg/engine/decoder.hpp"
#include "ffmpeg/picture/converter.hpp"

namespace av {

struct DecoderObject {
  PyObject_HEAD
  std::unique_ptr<ffmpeg::Decoder> engine;  // absent once closed
  // Pictures' colour conversion, resizers and rotation buffers, kept across requests:
  // video decoders only, released with the engine.
  std::unique_ptr<ffmpeg::PictureConverter> pictures;
  // The file-like object the engine reads through, for the garbage collector; null for
  // a path or bytes. The engine's reader holds the reference, so it is valid only while
  // the engine is there.
  PyObject* file_object;
  // 0: free; n > 0: n shared borrows; -1: one exclusive borrow.
  std::atomic<int64_t> borrow;
  // The process that opened the engine; a child after fork may not use it.
  pid_t owner;
};

// Closes the object: releases its picture converter and its engine, or in a process
// other than the one that opened it abandons the engine's FFmpeg objects to the parent
// (Decoder::abandon).
void drop_engine(DecoderObject* object);

// The Decoder type, created on first use and kept for the life of the process.
PyTypeObject* decoder_type();

// Holds a borrow of a Decoder for one call, and a strong reference to it unless it
// is the garbage collector's own (which must not touch reference counts).
class Borrow {
 public:
  enum class Kind { Exclusive, Shared };
  // Empty with "Already borrowed" / "Already mutably borrowed" set when refused.
  static std::optional<Borrow> take(PyObject* self, Kind kind, bool hold_reference = true);
  Borrow(Borrow&& o) noexcept;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow();

  DecoderObject* object() const noexcept { return object_; }
  // The engine, or null with "decoder is closed" (or, in a process other than the one
  // that opened it, "decoder was opened in another process; ...") set.
  ffmpeg::Decoder* engine() const;

 private:
  Borrow(DecoderObject* object, Kind kind, bool hold) noexcept
      : object_(object), kind_(kind), hold_(hold) {}
  DecoderObject* object_;
  Kind kind_;
  bool hold_;
};

// The common start of every method: checks that self is a Decoder and takes the
// borrow. Empty with the exception set on failure.
std::optional<Borrow> enter(PyObject* self, Borrow::Kind kind);

}  // namespace av
