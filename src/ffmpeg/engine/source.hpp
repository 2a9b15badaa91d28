// What a source is: a path or URL that FFmpeg opens itself, the bytes of a file, or a
// reader of the caller's (a file-like object) behind FFmpeg's custom I/O.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "ffmpeg/engine/reader.hpp"

namespace ffmpeg {

namespace source {
struct Path {
  std::string text;  // UTF-8
};
struct Bytes {
  std::vector<uint8_t> data;  // the private copy the engine reads
};
struct Custom {
  std::unique_ptr<Reader> reader;
};
}  // namespace source
using Source = std::variant<source::Path, source::Bytes, source::Custom>;

}  // namespace ffmpeg
