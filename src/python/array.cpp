#include "python/array.hpp"

// NumPy's C API is reached through the table in its _ARRAY_API capsule rather than its
// headers, which need more of CPython than the limited API offers. The slot numbers and
// constants are part of NumPy's ABI, the same in NumPy 1.x and 2.x.
namespace av {
namespace {

using npy_intp = Py_ssize_t;
constexpr int NPY_UBYTE = 2;
constexpr int NPY_USHORT = 4;
constexpr int NPY_FLOAT = 11;
constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

struct NumpyApi {
  PyObject* array_type;               // slot 2: PyArray_Type
  PyObject* (*descr_from_type)(int);  // slot 45: PyArray_DescrFromType
  PyObject* (*new_from_descr)(PyObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*,
                              int, PyObject*);   // slot 94: PyArray_NewFromDescr
  int (*set_base_object)(PyObject*, PyObject*);  // slot 282: PyArray_SetBaseObject
};
NumpyApi numpy;  // filled once, under the interpreter lock

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
  free_instance(self);
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
  if (numpy.array_type) return true;
  Ref module(PyImport_ImportModule("numpy"));
  if (!module) return false;
  Ref version(PyObject_GetAttrString(module.get(), "__version__"));
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
  auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table) return false;
  numpy.descr_from_type = reinterpret_cast<decltype(numpy.descr_from_type)>(table[45]);
  numpy.new_from_descr = reinterpret_cast<decltype(numpy.new_from_descr)>(table[94]);
  numpy.set_base_object = reinterpret_cast<decltype(numpy.set_base_object)>(table[282]);
  numpy.array_type = static_cast<PyObject*>(table[2]);
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
  auto* container = reinterpret_cast<SliceContainer*>(alloc_instance(type));
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
  PyObject* array =
      numpy.new_from_descr(numpy.array_type, numpy.descr_from_type(type_num), nd, dims.data(),
                           strides.data(), data, NPY_ARRAY_WRITEABLE, nullptr);
  if (!array) return nullptr;
  if (numpy.set_base_object(array, owner.release()) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace av
