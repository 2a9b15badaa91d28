// Decoder.decode_timestamps(seconds, output_dtype, transforms=[])
#include "python/args.hpp"
#include "python/decoder_object.hpp"
#include "python/methods.hpp"
#include "python/run_video_request.hpp"

namespace av {

PyObject* method_decode_timestamps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"seconds", "output_dtype", "transforms"};
    static const Signature sig{"Decoder.decode_timestamps()", names, 3, 2};
    PyObject* argv[3];
    if (!parse_fastcall(sig, args, nargs, kwnames, argv)) return nullptr;
    auto borrow = enter(self, Borrow::Kind::Exclusive);
    if (!borrow) return nullptr;

    ffmpeg::VideoRequest::Timestamps timestamps;
    std::string output_dtype;
    std::vector<ffmpeg::TransformSpec> transforms;
    if (!to_seconds("seconds", argv[0], timestamps.seconds) ||
        !to_text("output_dtype", argv[1], output_dtype) ||
        (argv[2] && !to_transforms("transforms", argv[2], transforms)))
      return nullptr;
    ffmpeg::Decoder* engine = borrow->engine();
    if (!engine) return nullptr;
    return run_video_request(*engine, borrow->object()->pictures.get(),
                             ffmpeg::VideoRequest{std::move(timestamps)}, output_dtype,
                             transforms);
  });
}

}  // namespace av
