#include "python/object_reader.hpp"

#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace av {
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

// The code for a callback whose Python call raised. An Exception is the file-like
// object failing: an I/O error to FFmpeg, the exception cleared. Anything else
// (KeyboardInterrupt, SystemExit) is the caller's and stays pending for the method to
// raise; FFmpeg is told to exit.
int failure_code() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return AVERROR_EXIT;
  PyErr_Clear();
  return AVERROR(EIO);
}

// obj.seek(offset, whence) converted to a position; -1 with an exception set on failure.
// `returned` tells whether the call itself returned (its result may still be unusable).
int64_t call_seek(PyObject* obj, int64_t offset, int whence, bool& returned) {
  PyObject* r = call_method(obj, "seek", "Li", static_cast<long long>(offset), whence);
  returned = r != nullptr;
  if (!r) return -1;
  const long value = PyLong_AsLong(r);
  Py_DECREF(r);
  return value;
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

ffmpeg::Status ObjectReader::start() {
  LockGuard lock;
  PyObject* r = call_method(object_.get(), "seek", "ii", 0, 0);
  if (r) {
    Py_DECREF(r);
    return ffmpeg::ok();
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return ffmpeg::Error::interrupted();  // kept pending
  Ref value = take_exception();
  std::string message;
  if (PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.get())),
                                                  "__qualname__")) {
    if (const char* s = PyUnicode_AsUTF8AndSize(qualname, nullptr)) message = s;
    Py_DECREF(qualname);
  }
  PyErr_Clear();
  if (message.empty()) message = type_name(value.get());
  message += ": ";
  PyObject* text = PyObject_Str(value.get());
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
  message += utf8 ? utf8 : "<exception str() failed>";
  Py_XDECREF(text);
  PyErr_Clear();
  return ffmpeg::Error::runtime(std::move(message));
}

int ObjectReader::read(uint8_t* buffer, int size) noexcept {
  LockGuard lock;
  // An exception already pending is on its way to the caller: no Python code runs
  // before the method raises it.
  if (PyErr_Occurred()) return AVERROR_EXIT;
  if (position_lost_) return AVERROR(EIO);
  PyObject* result = call_method(object_.get(), "read", "i", size);
  int code;
  if (!result) {
    code = failure_code();
  } else if (!PyBytes_Check(result)) {
    code = AVERROR(EIO);
  } else {
    const Py_ssize_t n = PyBytes_Size(result);
    if (n == 0) {
      code = AVERROR_EOF;
    } else if (n > size) {
      code = AVERROR(EIO);  // never copy more than FFmpeg's buffer holds
    } else {
      std::memcpy(buffer, PyBytes_AsString(result), static_cast<size_t>(n));
      code = static_cast<int>(n);
    }
  }
  Py_XDECREF(result);
  return code;
}

int64_t ObjectReader::seek(int64_t offset, int whence) noexcept {
  LockGuard lock;
  if (PyErr_Occurred()) return AVERROR_EXIT;  // as in read()
  PyObject* obj = object_.get();
  bool returned;
  // A call that raised is taken not to have moved the object; one that returned an
  // unusable result may have.
  auto failed = [&](bool moved) {
    if (moved) position_lost_ = true;
    return static_cast<int64_t>(failure_code());
  };
  if (whence & AVSEEK_SIZE) {
    const int64_t current = call_seek(obj, 0, SEEK_CUR, returned);
    if (current == -1 && PyErr_Occurred()) return failed(false);  // seek(0, 1) does not move
    const int64_t size = call_seek(obj, 0, SEEK_END, returned);
    if (size == -1 && PyErr_Occurred()) return failed(returned);
    PyObject* back = call_method(obj, "seek", "Li", static_cast<long long>(current), SEEK_SET);
    if (!back) return failed(true);  // left at the end
    Py_DECREF(back);
    return size;
  }
  const int64_t result = call_seek(obj, offset, whence & ~(AVSEEK_SIZE | AVSEEK_FORCE), returned);
  if (result == -1 && PyErr_Occurred()) return failed(returned);
  position_lost_ = false;
  return result;
}

}  // namespace av
