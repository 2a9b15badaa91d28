// Decoder.decode_audio(sample_rate, channels, stop=None) -> (samples, start)
#include "python/args.hpp"
#include "python/array.hpp"
#include "python/decoder_object.hpp"
#include "ffmpeg/audio/audio.hpp"
#include "python/methods.hpp"
#include "python/signals.hpp"

namespace av {

PyObject* method_decode_audio(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"sample_rate", "channels", "stop"};
    static const Signature sig{"Decoder.decode_audio()", names, 3, 2};
    PyObject* argv[3];
    if (!parse_fastcall(sig, args, nargs, kwnames, argv)) return nullptr;
    auto borrow = enter(self, Borrow::Kind::Exclusive);
    if (!borrow) return nullptr;

    ffmpeg::AudioRequest request;
    if (!to_int32("sample_rate", argv[0], request.sample_rate)) return nullptr;
    if (!to_int32("channels", argv[1], request.channels)) return nullptr;
    if (argv[2] && argv[2] != Py_None) {
      double stop;
      if (!to_double("stop", argv[2], stop)) return nullptr;
      request.stop = stop;
    }
    ffmpeg::Decoder* engine = borrow->engine();
    if (!engine) return nullptr;

    auto decoded = interruptible(*engine, [&] { return ffmpeg::decode_audio(*engine, request); });
    if (!decoded) {
      raise(decoded.error());
      return nullptr;
    }
    ffmpeg::Audio& audio = decoded.value();
    Ref array(from_owned_array(std::move(audio.samples),
                               {request.channels, static_cast<Py_ssize_t>(audio.length)}));
    if (!array) return nullptr;
    Ref start(PyFloat_FromDouble(audio.start));
    if (!start) return nullptr;
    return PyTuple_Pack(2, array.get(), start.get());
  });
}

}  // namespace av
