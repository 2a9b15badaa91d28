#include "python.hpp"

#include <new>
#include <stdexcept>

namespace av {

PyTypeObject* create_builtin_type(PyType_Spec* spec, const char* name) {
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (type) type->tp_name = name;
  return type;
}

void raise(const ffmpeg::Error& error) {
  using ffmpeg::ErrorKind;
  // The exception that stopped the work is already set: it is what the caller sees.
  if (error.kind == ErrorKind::Interrupted && PyErr_Occurred()) return;
  PyObject* type = error.kind == ErrorKind::Invalid       ? PyExc_ValueError
                   : error.kind == ErrorKind::Unsupported ? PyExc_NotImplementedError
                   : error.kind == ErrorKind::Memory      ? PyExc_MemoryError
                                                          : PyExc_RuntimeError;
  PyErr_SetString(type, error.message.c_str());
}

void raise_internal(std::exception_ptr e) noexcept {
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& ex) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", ex.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error");
  }
}

}  // namespace av
