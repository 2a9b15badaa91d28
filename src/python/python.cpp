#include "python/python.hpp"

#include <dlfcn.h>

#include <new>
#include <stdexcept>

namespace av {
namespace {

// Python 3.12 replaces PyErr_Fetch/PyErr_Restore (deprecated there) by
// PyErr_GetRaisedException/PyErr_SetRaisedException, which the stable ABI of the oldest
// supported Python lacks: the interpreter's own symbols are used when it has them.
struct RaisedApi {
  PyObject* (*get)();
  void (*set)(PyObject*);
};

const RaisedApi& raised_api() {
  static const RaisedApi api = [] {
    RaisedApi found{};
    found.get = reinterpret_cast<PyObject* (*)()>(dlsym(RTLD_DEFAULT, "PyErr_GetRaisedException"));
    found.set =
        reinterpret_cast<void (*)(PyObject*)>(dlsym(RTLD_DEFAULT, "PyErr_SetRaisedException"));
    if (!found.get || !found.set) found = {};
    return found;
  }();
  return api;
}

// str(attribute) of an object, or empty (with no exception left) when it has none.
std::string text_attribute(PyObject* object, const char* attribute) {
  std::string text;
  Ref value(PyObject_GetAttrString(object, attribute));
  if (value && PyUnicode_Check(value.get())) {
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), nullptr)) text = utf8;
  }
  PyErr_Clear();
  return text;
}

}  // namespace

PyTypeObject* create_builtin_type(PyType_Spec* spec, const char* name) {
  Ref type(PyType_FromSpec(spec));
  Ref bare(type ? PyUnicode_FromString(name) : nullptr);
  if (!bare || PyObject_SetAttrString(type.get(), "__name__", bare.get()) < 0) return nullptr;
  return reinterpret_cast<PyTypeObject*>(type.release());
}

std::string type_name(PyObject* object) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  std::string name = text_attribute(type, "__name__");
  if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_HEAPTYPE) return name;
  const std::string module = text_attribute(type, "__module__");
  return module.empty() || module == "builtins" ? name : module + "." + name;
}

PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc ? alloc(type, 0) : PyType_GenericAlloc(type, 0);
}

void free_instance(PyObject* self) {
  reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free))(self);
}

Ref take_exception() noexcept {
  if (const auto& api = raised_api(); api.get) return Ref(api.get());
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref(value);
}

void restore_exception(Ref exception) noexcept {
  if (!exception) return;
  if (const auto& api = raised_api(); api.set) return api.set(exception.release());
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
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
