// The module initialiser: the Decoder class and the two version strings.
#include "python.hpp"

#include "decoder_object.hpp"
#include "ffmpeg/error.hpp"

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
  module_object = Py_NewRef(module.get());
  module_interpreter = PyInterpreterState_Get();
  return module.release();
}

}  // namespace
}  // namespace av

PyMODINIT_FUNC PyInit__av() {
  return av::guarded<PyObject*>(nullptr, av::create_module);
}
