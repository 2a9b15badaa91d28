// The custom reader over bytes and file-like objects. This is the one media-side file
// that calls into Python: it takes the interpreter lock itself for each call, since
// FFmpeg calls it while a Decoder operation runs with the lock released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <limits>

#include "ffmpeg/engine/source.hpp"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace ffmpeg {
namespace {

// Takes the interpreter lock for one callback (a no-op if this thread holds it).
class LockGuard {
 public:
  LockGuard() noexcept : state_(PyGILState_Ensure()) {}
  ~LockGuard() { PyGILState_Release(state_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

// Calls obj.<method>(args...) and returns a new reference, or null with an exception set.
template <typename... Args>
PyObject* call_method(PyObject* obj, const char* method, const char* format, Args... args) {
  PyObject* fn = PyObject_GetAttrString(obj, method);
  if (!fn) return nullptr;
  PyObject* result = PyObject_CallFunction(fn, format, args...);
  Py_DECREF(fn);
  return result;
}

// obj.seek(offset, whence) converted to a position; -1 with an exception set on failure.
int64_t call_seek(PyObject* obj, int64_t offset, int whence) {
  PyObject* r = call_method(obj, "seek", "Li", static_cast<long long>(offset), whence);
  if (!r) return -1;
  const long value = PyLong_AsLong(r);
  Py_DECREF(r);
  return value;
}

int read_object(ObjectReader& reader, uint8_t* buffer, int size) {
  LockGuard lock;
  PyObject* result = call_method(reader.object.get(), "read", "i", size);
  int code;
  if (!result) {
    code = AVERROR(EIO);
  } else if (!PyBytes_Check(result)) {
    code = AVERROR(EIO);
  } else {
    const Py_ssize_t n = PyBytes_GET_SIZE(result);
    if (n == 0) {
      code = AVERROR_EOF;
    } else if (n > size) {
      code = AVERROR(EIO);  // never copy more than FFmpeg's buffer holds
    } else {
      std::memcpy(buffer, PyBytes_AS_STRING(result), static_cast<size_t>(n));
      code = static_cast<int>(n);
    }
  }
  Py_XDECREF(result);
  // A failure of the file-like object is an I/O error to FFmpeg, never a Python
  // exception left behind.
  PyErr_Clear();
  return code;
}

int64_t seek_object(ObjectReader& reader, int64_t offset, int whence) {
  LockGuard lock;
  PyObject* obj = reader.object.get();
  int64_t result;
  if (whence & AVSEEK_SIZE) {
    const int64_t current = call_seek(obj, 0, SEEK_CUR);
    if (current == -1 && PyErr_Occurred()) goto failed;
    result = call_seek(obj, 0, SEEK_END);
    if (result == -1 && PyErr_Occurred()) goto failed;
    if (PyObject* back = call_method(obj, "seek", "Li", static_cast<long long>(current), SEEK_SET)) {
      Py_DECREF(back);
    } else {
      goto failed;
    }
    return result;
  }
  result = call_seek(obj, offset, whence & ~(AVSEEK_SIZE | AVSEEK_FORCE));
  if (result == -1 && PyErr_Occurred()) goto failed;
  return result;
failed:
  PyErr_Clear();
  return AVERROR(EIO);
}

int read_bytes(MemoryReader& reader, uint8_t* buffer, int size) {
  const uint64_t length = reader.data.size();
  if (reader.position >= length) return AVERROR_EOF;
  const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), length - reader.position);
  std::memcpy(buffer, reader.data.data() + reader.position, n);
  reader.position += n;
  return static_cast<int>(n);
}

int64_t seek_bytes(MemoryReader& reader, int64_t offset, int whence) {
  const auto length = static_cast<int64_t>(reader.data.size());
  if (whence & AVSEEK_SIZE) return length;
  int64_t base;
  switch (whence & ~(AVSEEK_SIZE | AVSEEK_FORCE)) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(reader.position); break;
    case SEEK_END: base = length; break;
    default: return AVERROR(EINVAL);
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > length)
    return AVERROR(EINVAL);
  reader.position = static_cast<uint64_t>(target);
  return target;
}

}  // namespace

PyOwned& PyOwned::operator=(PyOwned&& o) noexcept {
  if (this != &o) {
    PyOwned old(std::move(*this));
    p_ = o.p_;
    o.p_ = nullptr;
  }
  return *this;
}

PyOwned::~PyOwned() {
  if (!p_) return;
  LockGuard lock;
  Py_DECREF(p_);
}

int read_memory(void* opaque, uint8_t* buffer, int size) noexcept {
  if (size <= 0) return AVERROR(EINVAL);
  auto& reader = *static_cast<Reader*>(opaque);
  if (auto* memory = std::get_if<MemoryReader>(&reader)) return read_bytes(*memory, buffer, size);
  return read_object(std::get<ObjectReader>(reader), buffer, size);
}

int64_t seek_memory(void* opaque, int64_t offset, int whence) noexcept {
  auto& reader = *static_cast<Reader*>(opaque);
  if (auto* memory = std::get_if<MemoryReader>(&reader)) return seek_bytes(*memory, offset, whence);
  return seek_object(std::get<ObjectReader>(reader), offset, whence);
}

Status rewind_object(const ObjectReader& reader) {
  LockGuard lock;
  PyObject* r = call_method(reader.object.get(), "seek", "ii", 0, 0);
  if (r) {
    Py_DECREF(r);
    return ok();
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string message;
  if (PyObject* qualname = PyObject_GetAttrString(type, "__qualname__")) {
    if (const char* s = PyUnicode_AsUTF8(qualname)) message = s;
    Py_DECREF(qualname);
  }
  PyErr_Clear();
  if (message.empty()) message = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  message += ": ";
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
  message += utf8 ? utf8 : "<exception str() failed>";
  Py_XDECREF(text);
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return Error::runtime(std::move(message));
}

_object* held_object(const Reader& reader) noexcept {
  if (auto* object = std::get_if<ObjectReader>(&reader)) return object->object.get();
  return nullptr;
}

}  // namespace ffmpeg
