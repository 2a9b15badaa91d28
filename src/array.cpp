#include "array.hpp"

// The C API table is looked up at first use, not by import_array() at module import.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL avarray_ARRAY_API
#include <numpy/arrayobject.h>

namespace av {
namespace {

struct SliceContainer {
  PyObject_HEAD
  ffmpeg::OwnedBuffer::Release release;
  void* data;
  size_t length;
  size_t capacity;
};

void container_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<SliceContainer*>(self);
  if (c->release) c->release(c->data, c->length, c->capacity);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* container_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
  return nullptr;
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, container_slots,
};

PyTypeObject* container_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = create_builtin_type(&container_spec, "PySliceContainer");
  return type;
}

// Finds numpy's C API table once per process; false with an exception set.
bool numpy_api() {
  if (PyArray_API) return true;
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  Ref lib(version ? PyImport_ImportModule("numpy.lib") : nullptr);
  Ref parsed(lib ? PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()) : nullptr);
  Ref major(parsed ? PyObject_GetAttrString(parsed.get(), "major") : nullptr);
  if (!major) return false;
  const long m = PyLong_AsLong(major.get());
  if (m == -1 && PyErr_Occurred()) return false;
  Ref multiarray(PyImport_ImportModule(m >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
  Ref capsule(multiarray ? PyObject_GetAttrString(multiarray.get(), "_ARRAY_API") : nullptr);
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) {
    PyErr_Clear();
    PyErr_SetString(PyExc_SystemError, "Failed to access NumPy array API capsule");
    return false;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (!table) return false;
  PyArray_API = static_cast<void**>(table);
  return true;
}

int type_number(ffmpeg::ElementType t) {
  switch (t) {
    case ffmpeg::ElementType::UInt8: return NPY_UBYTE;
    case ffmpeg::ElementType::UInt16: return NPY_USHORT;
    case ffmpeg::ElementType::Float32: return NPY_FLOAT;
  }
  return NPY_UBYTE;
}

}  // namespace

PyObject* from_owned_array(ffmpeg::OwnedBuffer buffer, const std::vector<Py_ssize_t>& shape) {
  const int nd = static_cast<int>(shape.size());
  const auto item = static_cast<Py_ssize_t>(ffmpeg::element_size(buffer.type()));
  std::vector<npy_intp> dims(shape.begin(), shape.end());
  std::vector<npy_intp> strides(shape.size(), 0);
  bool empty = false;
  for (auto d : shape) empty |= d == 0;
  if (!empty) {
    npy_intp stride = item;
    for (int i = nd - 1; i >= 0; --i) {
      strides[i] = stride;
      stride *= dims[i];
    }
  }
  void* data = buffer.data();
  const int type_num = type_number(buffer.type());

  PyTypeObject* type = container_type();
  if (!type) {
    PyErr_Clear();
    PyErr_SetString(PyExc_SystemError, "Failed to create slice container type");
    return nullptr;
  }
  auto* container = reinterpret_cast<SliceContainer*>(type->tp_alloc(type, 0));
  if (!container) {
    PyErr_Clear();
    PyErr_SetString(PyExc_SystemError, "Failed to create slice container");
    return nullptr;
  }
  container->data = data;
  container->length = buffer.length();
  container->capacity = buffer.capacity();
  container->release = buffer.release();  // the container owns the memory from here on
  Ref owner(reinterpret_cast<PyObject*>(container));

  if (!numpy_api()) return nullptr;
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_num), nd,
                                         dims.data(), strides.data(), data, NPY_ARRAY_WRITEABLE,
                                         nullptr);
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace av
