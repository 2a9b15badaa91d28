#include "python/decoder_object.hpp"

#include <unistd.h>

#include <new>

#include "python/args.hpp"
#include "python/object_reader.hpp"
#include "python/methods.hpp"
#include "python/signals.hpp"

namespace av {
namespace {

// Classifies the constructor's source; false with an exception set.
bool classify(PyObject* source, ffmpeg::Source& out) {
  if (PyUnicode_Check(source)) {
    Py_ssize_t size;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size)) {
      out = ffmpeg::source::Path{std::string(utf8, static_cast<size_t>(size))};
      return true;
    }
    PyErr_Clear();  // not encodable: fall through to the other kinds
  }
  if (PyBytes_Check(source)) {
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AsString(source));
    out = ffmpeg::source::Bytes{std::vector<uint8_t>(data, data + PyBytes_Size(source))};
    return true;
  }
  for (const char* attribute : {"read", "seek"}) {
    PyObject* found = PyObject_GetAttrString(source, attribute);
    if (!found) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "source must be a path/URL or encoded bytes");
      return false;
    }
    Py_DECREF(found);
  }
  Py_INCREF(source);
  out = ffmpeg::source::Custom{std::make_unique<ObjectReader>(PyOwned(source))};
  return true;
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"source", "media_type", "stream_index", "threads"};
  static const Signature sig{"Decoder.__new__()", names, 4, 2};
  PyObject* argv[4];
  if (!parse_tuple(sig, args, kwargs, argv)) return nullptr;

  std::string media_type;
  if (!to_text("media_type", argv[1], media_type)) return nullptr;
  ffmpeg::OpenOptions options;
  if (argv[2] && argv[2] != Py_None) {
    int32_t index;
    if (!to_int32("stream_index", argv[2], index)) return nullptr;
    options.stream_index = index;
  }
  if (argv[3] && !to_int32("threads", argv[3], options.threads)) return nullptr;

  ffmpeg::Source source;
  if (!classify(argv[0], source)) return nullptr;
  PyObject* file_object =
      std::holds_alternative<ffmpeg::source::Custom>(source) ? argv[0] : nullptr;
  if (media_type == "video") {
    options.media_type = ffmpeg::MediaType::Video;
  } else if (media_type == "audio") {
    options.media_type = ffmpeg::MediaType::Audio;
  } else {
    PyErr_SetString(PyExc_ValueError, "media_type must be video or audio");
    return nullptr;
  }

  SignalCheck signals;
  options.interrupt = signals.hook();
  auto opened = without_lock([&] { return ffmpeg::Decoder::open(std::move(source), options); });
  // An exception left pending during the open wins over the open's own result, even
  // success (the engine is then dropped here, with the lock held).
  if (PyErr_Occurred()) return nullptr;
  if (!opened) {
    raise(opened.error());
    return nullptr;
  }
  std::unique_ptr<ffmpeg::PictureConverter> pictures;
  if (options.media_type == ffmpeg::MediaType::Video) {
    auto created = ffmpeg::PictureConverter::create();
    if (!created) {
      raise(created.error());
      return nullptr;
    }
    pictures = std::move(created).value();
  }
  PyObject* self = alloc_instance(type);
  if (!self) return nullptr;  // the engine is dropped here, with the lock held
  auto* object = reinterpret_cast<DecoderObject*>(self);
  new (&object->engine) std::unique_ptr<ffmpeg::Decoder>(std::move(opened).value());
  new (&object->pictures) std::unique_ptr<ffmpeg::PictureConverter>(std::move(pictures));
  object->file_object = file_object;
  new (&object->borrow) std::atomic<int64_t>(0);
  object->owner = getpid();
  return self;
}

int decoder_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* object = reinterpret_cast<DecoderObject*>(self);
  // While a method holds the exclusive borrow the engine may be mid-change: skip it.
  auto borrow = Borrow::take(self, Borrow::Kind::Shared, /*hold_reference=*/false);
  if (!borrow) {
    PyErr_Clear();
    return 0;
  }
  if (object->engine) Py_VISIT(object->file_object);
  return 0;
}

int decoder_clear(PyObject* self) {
  return guarded(-1, [&] {
    auto borrow = Borrow::take(self, Borrow::Kind::Exclusive);
    if (!borrow) return -1;
    drop_engine(borrow->object());
    return 0;
  });
}

void decoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<DecoderObject*>(self);
  // Nothing can hold a borrow now: every borrower holds a reference to the object.
  guarded(0, [&] {
    drop_engine(object);
    return 0;
  });
  object->engine.~unique_ptr();
  object->pictures.~unique_ptr();
  object->borrow.~atomic();
  free_instance(self);
  Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"metadata", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_metadata)),
     METH_FASTCALL | METH_KEYWORDS, "metadata($self, apply_rotation=True)\n--\n\n"},
    {"scan", method_scan, METH_NOARGS, "scan($self)\n--\n\n"},
    {"decode_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_decode_video)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_video($self, targets, output_dtype, exact, transforms=...)\n--\n\n"},
    {"decode_timestamps",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_decode_timestamps)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_timestamps($self, seconds, output_dtype, transforms=...)\n--\n\n"},
    {"decode_audio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_decode_audio)),
     METH_FASTCALL | METH_KEYWORDS, "decode_audio($self, sample_rate, channels, stop=None)\n--\n\n"},
    {"close", method_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* decoder_new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return decoder_new(type, args, kwargs); });
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Decoder(source, media_type, stream_index=None, threads=1)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new_entry)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decoder_clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Decoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

PyTypeObject* decoder_type() {
  static PyTypeObject* type = nullptr;
  if (!type) type = create_builtin_type(&spec, "Decoder");
  return type;
}

std::optional<Borrow> Borrow::take(PyObject* self, Kind kind, bool hold_reference) {
  auto* object = reinterpret_cast<DecoderObject*>(self);
  int64_t current = 0;
  if (kind == Kind::Exclusive) {
    if (!object->borrow.compare_exchange_strong(current, -1)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return std::nullopt;
    }
  } else {
    current = object->borrow.load();
    do {
      if (current == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
      }
    } while (!object->borrow.compare_exchange_weak(current, current + 1));
  }
  if (hold_reference) Py_INCREF(self);
  return Borrow(object, kind, hold_reference);
}

Borrow::Borrow(Borrow&& o) noexcept : object_(std::exchange(o.object_, nullptr)), kind_(o.kind_), hold_(o.hold_) {}

Borrow::~Borrow() {
  if (!object_) return;
  if (kind_ == Kind::Exclusive) object_->borrow.store(0);
  else object_->borrow.fetch_sub(1);
  if (hold_) Py_DECREF(reinterpret_cast<PyObject*>(object_));
}

std::optional<Borrow> enter(PyObject* self, Borrow::Kind kind) {
  if (!PyObject_TypeCheck(self, decoder_type())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Decoder'",
                 type_name(self).c_str());
    return std::nullopt;
  }
  return Borrow::take(self, kind);
}

ffmpeg::Decoder* Borrow::engine() const {
  if (!object_->engine) {
    PyErr_SetString(PyExc_RuntimeError, "decoder is closed");
    return nullptr;
  }
  // After fork the child shares the parent's file offsets and sockets, and the
  // codec's worker threads exist only in the parent.
  if (object_->owner != getpid()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "decoder was opened in another process; open a new Decoder in this process");
    return nullptr;
  }
  return object_->engine.get();
}

void drop_engine(DecoderObject* object) {
  object->pictures.reset();
  if (!object->engine) return;
  if (object->owner == getpid()) object->engine.reset();
  else ffmpeg::Decoder::abandon(std::move(object->engine));
}

}  // namespace av
