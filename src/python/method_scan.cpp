// Decoder.scan(): every packet of the stream as (pts, duration, is_key).
#include "python/decoder_object.hpp"
#include "ffmpeg/inspect/scan.hpp"
#include "python/methods.hpp"
#include "python/signals.hpp"

namespace av {

PyObject* method_scan(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto borrow = enter(self, Borrow::Kind::Exclusive);
    if (!borrow) return nullptr;
    ffmpeg::Decoder* engine = borrow->engine();
    if (!engine) return nullptr;
    auto records = interruptible(*engine, [&] { return ffmpeg::scan(*engine); });
    if (!records) {
      raise(records.error());
      return nullptr;
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(records->size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& r : records.value()) {
      PyObject* item = Py_BuildValue("(LLO)", static_cast<long long>(r.pts),
                                     static_cast<long long>(r.duration), r.key ? Py_True : Py_False);
      if (!item) return nullptr;
      PyList_SetItem(list.get(), i++, item);  // steals the item
    }
    return list.release();
  });
}

}  // namespace av
