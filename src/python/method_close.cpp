// Decoder.close(): releases every FFmpeg resource at once.
#include "python/decoder_object.hpp"
#include "python/methods.hpp"

namespace av {

PyObject* method_close(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto borrow = enter(self, Borrow::Kind::Exclusive);
    if (!borrow) return nullptr;
    // Dropped with the lock held, so a file-like source is released at once.
    drop_engine(borrow->object());
    Py_RETURN_NONE;
  });
}

}  // namespace av
