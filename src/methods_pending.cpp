// Methods whose media work is not built yet. They follow the calling convention up
// to the closed check and then fail loudly rather than return anything that could be
// mistaken for data.
#include "decoder_object.hpp"
#include "methods.hpp"

namespace av {
namespace {
PyObject* pending(PyObject* self, const char* name) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto borrow = enter(self, Borrow::Kind::Exclusive);
    if (!borrow || !borrow->engine()) return nullptr;
    PyErr_Format(PyExc_NotImplementedError, "Decoder.%s() is not available in this build", name);
    return nullptr;
  });
}
}  // namespace

PyObject* method_decode_video(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return pending(self, "decode_video"); }
PyObject* method_decode_timestamps(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) noexcept { return pending(self, "decode_timestamps"); }

}  // namespace av
