// One argument parser for the constructor and every method, driven by the parameter
// list, so that every argument-error message has the same form.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/picture/transforms.hpp"
#include "ffmpeg/video/request.hpp"

namespace av {

struct Signature {
  const char* function;  // "Decoder.__new__()", "Decoder.metadata()"
  const char* const* names;
  int total;
  int required;  // the first `required` parameters have no default
};

// Fills `out` (size sig.total) with borrowed references; null where not given.
// Returns false with a TypeError set.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions; each returns false with an exception set. A TypeError is reworded as
// "argument '<name>': <message>".
bool to_text(const char* name, PyObject* value, std::string& out);
bool to_int32(const char* name, PyObject* value, int32_t& out);
bool to_int64(const char* name, PyObject* value, int64_t& out);
bool to_double(const char* name, PyObject* value, double& out);
bool to_bool(const char* name, PyObject* value, bool& out);

// Sequences (any sequence but a str), item by item: `targets` of (pts, seek_pts)
// tuples, `seconds` of floats, `transforms` of (name, a, b, c, d) tuples.
bool to_targets(const char* name, PyObject* value, std::vector<ffmpeg::FrameTarget>& out);
bool to_seconds(const char* name, PyObject* value, std::vector<double>& out);
bool to_transforms(const char* name, PyObject* value, std::vector<ffmpeg::TransformSpec>& out);

// Re-raises a pending TypeError as "argument '<name>': <message>", keeping its cause.
void reword_type_error(const char* name);

}  // namespace av
