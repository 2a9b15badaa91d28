// Decoder.decode_video(targets, output_dtype, exact, transforms=[])
#include "python/args.hpp"
#include "python/decoder_object.hpp"
#include "python/methods.hpp"
#include "python/run_video_request.hpp"

namespace av {

PyObject* method_decode_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"targets", "output_dtype", "exact", "transforms"};
    static const Signature sig{"Decoder.decode_video()", names, 4, 3};
    PyObject* argv[4];
    if (!parse_fastcall(sig, args, nargs, kwnames, argv)) return nullptr;
    auto borrow = enter(self, Borrow::Kind::Exclusive);
    if (!borrow) return nullptr;

    ffmpeg::VideoRequest::Frames frames;
    std::string output_dtype;
    std::vector<ffmpeg::TransformSpec> transforms;
    if (!to_targets("targets", argv[0], frames.targets) ||
        !to_text("output_dtype", argv[1], output_dtype) || !to_bool("exact", argv[2], frames.exact) ||
        (argv[3] && !to_transforms("transforms", argv[3], transforms)))
      return nullptr;
    ffmpeg::Decoder* engine = borrow->engine();
    if (!engine) return nullptr;
    return run_video_request(*engine, borrow->object()->pictures.get(),
                             ffmpeg::VideoRequest{std::move(frames)}, output_dtype,
                             transforms);
  });
}

}  // namespace av
