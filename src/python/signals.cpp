#include "python/signals.hpp"

namespace av {
namespace {

// The ident of the interpreter's main thread, looked up once (with the lock held).
// Zero when it cannot be found: then every thread gets the hook, which is only slower.
unsigned long main_thread_ident() {
  static const unsigned long ident = [] {
    unsigned long found = 0;
    Ref threading(PyImport_ImportModule("threading"));
    Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref value(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (value) found = PyLong_AsUnsignedLong(value.get());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      found = 0;
    }
    return found;
  }();
  return ident;
}

}  // namespace

SignalCheck::SignalCheck() : thread_(PyThread_get_thread_ident()) {
  const unsigned long main = main_thread_ident();
  main_thread_ = main == 0 || main == thread_;
}

bool SignalCheck::stop_requested() noexcept {
  // FFmpeg's interrupt callback may come from a protocol's own thread.
  if (PyThread_get_thread_ident() != thread_) return false;
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool stop = PyErr_Occurred() || PyErr_CheckSignals() < 0;
  PyGILState_Release(state);
  return stop;
}

}  // namespace av
