#include "python/run_video_request.hpp"

#include "python/array.hpp"
#include "python/signals.hpp"

namespace av {
namespace {

PyObject* float_list(const std::vector<double>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals the item
  }
  return list.release();
}

}  // namespace

PyObject* run_video_request(ffmpeg::Decoder& engine, ffmpeg::PictureConverter* pictures,
                            ffmpeg::VideoRequest request,
                            const std::string& output_dtype,
                            const std::vector<ffmpeg::TransformSpec>& transform_specs) {
  auto transforms = ffmpeg::parse_transforms(transform_specs);
  if (!transforms) {
    raise(transforms.error());
    return nullptr;
  }
  auto type = ffmpeg::output_type(output_dtype);
  if (!type) {
    raise(type.error());
    return nullptr;
  }
  auto result = interruptible(engine, [&] {
    return ffmpeg::video_request(engine, pictures, std::move(request), type.value(),
                                 transforms.value());
  });
  if (!result) {
    raise(result.error());
    return nullptr;
  }
  ffmpeg::VideoResult& r = result.value();
  std::vector<Py_ssize_t> shape(r.shape.begin(), r.shape.end());
  Ref frames(from_owned_array(std::move(r.frames), shape));
  if (!frames) return nullptr;
  Ref starts(float_list(r.starts));
  if (!starts) return nullptr;
  Ref durations(float_list(r.durations));
  if (!durations) return nullptr;
  return PyTuple_Pack(3, frames.get(), starts.get(), durations.get());
}

}  // namespace av
