// Small helpers for the Python side: the lock guard, owned references and the
// translation of media-side errors into exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>
#include <utility>

#include "ffmpeg/error.hpp"

namespace av {

// Releases the interpreter lock for the media work in its scope.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result.
template <typename F>
auto without_lock(F&& work) {
  Unlocked unlocked;
  return work();
}

// A new reference, released at scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Creates a heap type from a spec named "builtins.<name>" and renames it to the bare
// name. The dotted name sets __module__ to "builtins" without CPython's deprecation
// warning for undotted names (an error where warnings are errors); setting __name__
// afterwards also gives the type that bare name as the one CPython prints in messages
// and reprs. Null with an exception set.
PyTypeObject* create_builtin_type(PyType_Spec* spec, const char* name);

// A type's name as CPython's own messages print it ("int", "NoneType", "numpy.ndarray").
// The limited API hides `tp_name`, so it is rebuilt from __module__ and __name__: a
// static type's name carries its module unless that is "builtins"; a heap type's is
// its bare __name__ (exact for classes defined in Python; an extension's heap type
// printed "_io.BytesIO" becomes "BytesIO").
std::string type_name(PyObject* object);

// An instance from the type's tp_alloc slot, and its release through tp_free (the
// limited API reaches both through PyType_GetSlot).
PyObject* alloc_instance(PyTypeObject* type);
void free_instance(PyObject* self);

// Takes the pending exception out of the interpreter, normalized; empty when none.
Ref take_exception() noexcept;
// Makes `exception` (from take_exception) the pending exception again.
void restore_exception(Ref exception) noexcept;

// The one translator: an ffmpeg::Error becomes ValueError (Invalid), RuntimeError
// (Runtime), NotImplementedError (Unsupported) or MemoryError (Memory); Interrupted
// leaves the exception that stopped the work as it is.
void raise(const ffmpeg::Error& error);

// Turns an unexpected C++ exception into a Python exception at an entry point.
void raise_internal(std::exception_ptr e) noexcept;

// Wraps the body of a CPython entry point so that no C++ exception crosses into the
// interpreter; `failed` is what the entry point returns with an exception set.
template <typename R, typename F>
R guarded(R failed, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_internal(std::current_exception());
    return failed;
  }
}

}  // namespace av
