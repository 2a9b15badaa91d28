// The Decoder methods, one file each.
#pragma once

#include "python/python.hpp"

namespace av {

PyObject* method_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* method_scan(PyObject* self, PyObject* unused) noexcept;
PyObject* method_decode_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* method_decode_timestamps(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* method_decode_audio(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* method_close(PyObject* self, PyObject* unused) noexcept;

}  // namespace av
