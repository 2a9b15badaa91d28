#include "ffmpeg/error.hpp"

#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace ffmpeg {

std::string utf8_lossy(const char* data, size_t size) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(size);
  size_t i = 0;
  while (i < size) {
    const unsigned char c = s[i];
    size_t len = 0;
    uint32_t min = 0;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000;
    }
    bool valid = len != 0 && i + len <= size;
    uint32_t cp = len ? (c & (0x7F >> len)) : 0;
    for (size_t k = 1; valid && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) valid = false;
      else cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (valid && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (valid) {
      out.append(data + i, len);
      i += len;
    } else {
      // Like Python's "replace" handler: one U+FFFD per maximal invalid prefix.
      out += kReplacement;
      size_t k = 1;
      while (len && k < len && i + k < size && (s[i + k] & 0xC0) == 0x80) ++k;
      i += (len && k > 1 && k < len) ? k : 1;
    }
  }
  return out;
}

Status check(int code, const char* context) {
  if (code >= 0) return ok();
  char buffer[AV_ERROR_MAX_STRING_SIZE * 4] = {};
  static_assert(sizeof(buffer) == 256);
  av_strerror(code, buffer, sizeof(buffer));
  std::string message = context;
  message += ": ";
  message += utf8_lossy(buffer, strnlen(buffer, sizeof(buffer)));
  return Error::runtime(std::move(message));
}

std::optional<std::string> name(const char* pointer) {
  if (!pointer) return std::nullopt;
  return utf8_lossy(pointer, std::strlen(pointer));
}

}  // namespace ffmpeg
