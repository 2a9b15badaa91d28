// Decoder.metadata(apply_rotation=True): the stream's header facts as a dict whose
// insertion order is part of the interface.
#include "python/args.hpp"
#include "python/decoder_object.hpp"
#include "ffmpeg/inspect/metadata.hpp"
#include "python/methods.hpp"

namespace av {
namespace {

PyObject* value(int v) { return PyLong_FromLong(v); }
PyObject* value(int64_t v) { return PyLong_FromLongLong(v); }
PyObject* value(double v) { return PyFloat_FromDouble(v); }
PyObject* value(const std::string& v) {
  return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
PyObject* value(const char* v) { return PyUnicode_FromString(v); }
PyObject* value(std::pair<int, int> v) { return Py_BuildValue("(ii)", v.first, v.second); }
template <typename T>
PyObject* value(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return value(*v);
}

// Inserts one key; false with the interpreter's exception set.
template <typename T>
bool put(PyObject* dict, const char* key, const T& v) {
  Ref item(value(v));
  return item && PyDict_SetItemString(dict, key, item.get()) == 0;
}

PyObject* build(const ffmpeg::Metadata& m) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!d) return nullptr;
  const bool audio = m.media_type == ffmpeg::MediaType::Audio;
  const bool common = put(d, "stream_index", m.stream_index) &&
                      put(d, "media_type", audio ? "audio" : "video") &&
                      put(d, "time_base_num", m.time_base.num) &&
                      put(d, "time_base_den", m.time_base.den) && put(d, "codec", m.codec) &&
                      put(d, "bit_rate", m.bit_rate) &&
                      put(d, "duration_seconds_from_header", m.duration_seconds_from_header) &&
                      put(d, "container_duration", m.container_duration) &&
                      put(d, "begin_stream_seconds_from_header", m.begin_stream_seconds_from_header);
  if (!common) return nullptr;
  if (audio) {
    if (!(put(d, "sample_rate", m.sample_rate) && put(d, "num_channels", m.num_channels) &&
          put(d, "sample_format", m.sample_format)))
      return nullptr;
    return dict.release();
  }
  const bool video =
      put(d, "width", m.width) && put(d, "height", m.height) &&
      put(d, "num_frames_from_header", m.num_frames_from_header) &&
      put(d, "average_fps_from_header", m.average_fps_from_header) &&
      put(d, "pixel_aspect_ratio", m.pixel_aspect_ratio) && put(d, "pixel_format", m.pixel_format) &&
      put(d, "bit_depth", m.bit_depth) && put(d, "color_range", m.color_range) &&
      put(d, "color_space", m.color_space) && put(d, "color_primaries", m.color_primaries) &&
      put(d, "color_transfer_characteristic", m.color_transfer_characteristic) &&
      put(d, "rotation", m.rotation);
  if (!video) return nullptr;
  return dict.release();
}

}  // namespace

PyObject* method_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"apply_rotation"};
    static const Signature sig{"Decoder.metadata()", names, 1, 0};
    PyObject* argv[1];
    if (!parse_fastcall(sig, args, nargs, kwnames, argv)) return nullptr;
    auto borrow = enter(self, Borrow::Kind::Shared);
    if (!borrow) return nullptr;
    bool apply_rotation = true;
    if (argv[0] && !to_bool("apply_rotation", argv[0], apply_rotation)) return nullptr;
    ffmpeg::Decoder* engine = borrow->engine();
    if (!engine) return nullptr;
    // Header fields only, no I/O: the lock is kept.
    const auto m = ffmpeg::metadata(*engine, apply_rotation);
    if (!m) {
      raise(m.error());
      return nullptr;
    }
    return build(m.value());
  });
}

}  // namespace av
