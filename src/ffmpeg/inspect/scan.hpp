// The packet scan: every packet of the stream, read without decoding.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

struct PacketRecord {
  int64_t pts;  // pts, else dts
  int64_t duration;
  bool key;
};

// Every packet of the stream from its start to its end, sorted stably by timestamp.
// Reads packets only; leaves the engine rewound.
Result<std::vector<PacketRecord>> scan(Decoder& d);

}  // namespace ffmpeg
