#include "python/args.hpp"

#include <cstring>
#include <limits>
#include <string_view>

namespace av {
namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.total) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                 sig.function, sig.total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.function, sig.required, sig.total, given, verb);
  }
  return false;
}

// Matches one keyword against the parameter list; false with a TypeError set.
bool place_keyword(const Signature& sig, Py_ssize_t nargs, PyObject* key, PyObject* value,
                   PyObject** out) {
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
  if (text) {
    for (int i = 0; i < sig.total; ++i) {
      if (std::strcmp(sig.names[i], text) != 0) continue;
      if (i < nargs || out[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                     sig.names[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.function, key);
  return false;
}

bool check_required(const Signature& sig, PyObject** out) {
  std::string names;
  int missing = 0;
  for (int i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  int seen = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i]) continue;
    ++seen;
    if (seen > 1) names += missing == 2 ? " and " : (seen == missing ? ", and " : ", ");
    names += "'";
    names += sig.names[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", sig.function,
               missing, missing == 1 ? "" : "s", names.c_str());
  return false;
}

bool is_numpy_bool(PyObject* value) {
  const std::string name = type_name(value);
  return name == "numpy.bool" || name == "numpy.bool_";
}

bool conversion_failed(const char* name, PyObject* value, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
               type_name(value).c_str(), target);
  return false;
}

// Walks a sequence argument (a str is refused) and hands each item to `item`, which
// returns false with an exception set. The length only reserves room.
template <typename Out, typename F>
bool for_each_item(const char* name, PyObject* value, std::vector<Out>& out, F&& item) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (!PySequence_Check(value)) return conversion_failed(name, value, "Sequence");
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) PyErr_Clear();
  out.clear();
  out.reserve(size > 0 ? static_cast<size_t>(size) : 0);
  Ref iterator(PyObject_GetIter(value));
  if (!iterator) {
    reword_type_error(name);
    return false;
  }
  while (Ref element{PyIter_Next(iterator.get())}) {
    if (!item(element.get())) return false;
  }
  if (PyErr_Occurred()) {
    reword_type_error(name);
    return false;
  }
  return true;
}

// A tuple of exactly `length` items; false with an exception set.
bool check_tuple(const char* name, PyObject* value, Py_ssize_t length) {
  if (!PyTuple_Check(value)) return conversion_failed(name, value, "PyTuple");
  if (PyTuple_Size(value) != length) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                 length, PyTuple_Size(value));
    return false;
  }
  return true;
}

// An integer as PyLong_AsLong takes it (a float is refused).
bool to_long(const char* name, PyObject* value, long& out) {
  out = PyLong_AsLong(value);
  if (out == -1 && PyErr_Occurred()) {
    reword_type_error(name);
    return false;
  }
  return true;
}

}  // namespace

bool to_targets(const char* name, PyObject* value, std::vector<ffmpeg::FrameTarget>& out) {
  static_assert(sizeof(long) == sizeof(int64_t), "timestamps are converted as C long");
  return for_each_item(name, value, out, [&](PyObject* item) {
    long pts, seek_pts;
    if (!check_tuple(name, item, 2) || !to_long(name, PyTuple_GetItem(item, 0), pts) ||
        !to_long(name, PyTuple_GetItem(item, 1), seek_pts))
      return false;
    out.push_back({pts, seek_pts});
    return true;
  });
}

bool to_seconds(const char* name, PyObject* value, std::vector<double>& out) {
  return for_each_item(name, value, out, [&](PyObject* item) {
    double seconds;
    if (!to_double(name, item, seconds)) return false;
    out.push_back(seconds);
    return true;
  });
}

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < sig.total; ++i) out[i] = nullptr;
  if (nargs > sig.total) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(sig, nargs, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(sig, out);
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < sig.total; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > sig.total) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, nargs, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

void reword_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = take_exception();
  Ref text(original ? PyObject_Str(original.get()) : nullptr);
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  Ref reworded = take_exception();
  // The new error's cause is the original's own cause.
  if (PyObject* cause = PyException_GetCause(original.get()))
    PyException_SetCause(reworded.get(), cause);
  restore_exception(std::move(reworded));
}

bool to_text(const char* name, PyObject* value, std::string& out) {
  if (!PyUnicode_Check(value)) return conversion_failed(name, value, "PyString");
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (!utf8) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool to_int64(const char* name, PyObject* value, int64_t& out) {
  Ref index(PyNumber_Index(value));
  if (!index) {
    reword_type_error(name);
    return false;
  }
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_int32(const char* name, PyObject* value, int32_t& out) {
  int64_t wide;
  if (!to_int64(name, value, wide)) return false;
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<int32_t>(wide);
  return true;
}

bool to_double(const char* name, PyObject* value, double& out) {
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    reword_type_error(name);
    return false;
  }
  out = v;
  return true;
}

namespace {
// An integer item of a transform tuple: any __index__ object within 32 bits. The
// overflow is judged on the whole integer, so that 2**70 reads "too large" like 2**31.
bool transform_int(const char* name, PyObject* item, int32_t& out) {
  Ref index(PyNumber_Index(item));
  if (!index) {
    reword_type_error(name);
    return false;
  }
  int sign = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &sign);
  if (v == -1 && PyErr_Occurred()) return false;
  if (sign > 0 || v > std::numeric_limits<int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    return false;
  }
  if (sign < 0 || v < std::numeric_limits<int32_t>::min()) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}
}  // namespace

bool to_transforms(const char* name, PyObject* value, std::vector<ffmpeg::TransformSpec>& out) {
  return for_each_item(name, value, out, [&](PyObject* item) {
    if (!check_tuple(name, item, 5)) return false;
    ffmpeg::TransformSpec spec;
    if (!to_text(name, PyTuple_GetItem(item, 0), spec.name)) return false;
    int32_t* fields[] = {&spec.a, &spec.b, &spec.c, &spec.d};
    for (int i = 0; i < 4; ++i)
      if (!transform_int(name, PyTuple_GetItem(item, i + 1), *fields[i])) return false;
    out.push_back(std::move(spec));
    return true;
  });
}

bool to_bool(const char* name, PyObject* value, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) return conversion_failed(name, value, "PyBool");
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

}  // namespace av
