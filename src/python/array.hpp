// The zero-copy hand-off of owned buffers to NumPy.
#pragma once

#include "python/python.hpp"

#include <vector>

#include "ffmpeg/output/buffer.hpp"

namespace av {

// A NumPy array over `buffer` (C order, writeable) whose base object, a
// PySliceContainer, frees the buffer with the array. Needs the interpreter lock.
// Null with an exception set on failure; the buffer is freed exactly once either way.
PyObject* from_owned_array(ffmpeg::OwnedBuffer buffer, const std::vector<Py_ssize_t>& shape);

}  // namespace av
