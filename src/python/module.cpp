// The module initialiser: the Decoder class, the two version strings and the output
// types.
#include "python/python.hpp"

#include "ffmpeg/error.hpp"
#include "ffmpeg/picture/output_types.hpp"
#include "python/decoder_object.hpp"

extern "C" {
#include <libavutil/avutil.h>
}

#ifndef AVARRAY_VERSION
#error "AVARRAY_VERSION must be defined by the build"
#endif

namespace av {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_av", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module is created once; the interpreter that created it is the only one served.
PyObject* module_object = nullptr;
PyInterpreterState* module_interpreter = nullptr;

// {output_dtype: the most bytes one pixel of it takes in an array}, from the media
// side's table, so that Python code sizing batches and the stubs' checks read one list.
PyObject* output_dtypes() {
  Ref dtypes(PyDict_New());
  if (!dtypes) return nullptr;
  for (const ffmpeg::OutputTypeInfo& info : ffmpeg::output_types()) {
    Ref bytes(PyLong_FromLong(ffmpeg::max_pixel_bytes(info)));
    const std::string name(info.name);
    if (!bytes || PyDict_SetItemString(dtypes.get(), name.c_str(), bytes.get()) < 0) return nullptr;
  }
  return dtypes.release();
}

PyObject* create_module() {
  if (module_object) {
    if (PyInterpreterState_Get() != module_interpreter) {
      PyErr_SetString(PyExc_ImportError, "_av does not support sub-interpreters");
      return nullptr;
    }
    return Py_NewRef(module_object);
  }
  Ref module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyTypeObject* type = decoder_type();
  if (!type) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "Decoder", reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
  const auto version = ffmpeg::name(av_version_info());
  Ref ffmpeg_version(PyUnicode_FromString(version ? version->c_str() : ""));
  if (!ffmpeg_version ||
      PyModule_AddObjectRef(module.get(), "ffmpeg_version", ffmpeg_version.get()) < 0)
    return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", AVARRAY_VERSION) < 0) return nullptr;
  Ref dtypes(output_dtypes());
  if (!dtypes || PyModule_AddObjectRef(module.get(), "output_dtypes", dtypes.get()) < 0)
    return nullptr;
  module_object = Py_NewRef(module.get());
  module_interpreter = PyInterpreterState_Get();
  return module.release();
}

}  // namespace
}  // namespace av

PyMODINIT_FUNC PyInit__av() {
  return av::guarded<PyObject*>(nullptr, av::create_module);
}
