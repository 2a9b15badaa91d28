// What one read of the whole stream learned about its packets, for containers whose own
// seeking cannot be trusted: MPEG program and transport streams seek by decoding time
// (landing after the key frame asked for) and, after a seek, lose the timestamps that
// FFmpeg derives only while reading from the start; elementary streams carry no
// timestamps to seek by at all. Their packets are found again by byte position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

// What a packet of the stream says about itself, read without decoding.
struct PacketInfo {
  int64_t pts;
  int64_t dts;
  int64_t duration;
  int64_t pos;  // its byte position in the input, -1 when unknown
  int size;
  int flags;  // AV_PKT_FLAG_*
};

struct MappedPacket {
  int64_t pos;        // -1 when unknown
  int64_t dts;        // as read from the start (AV_NOPTS_VALUE when none)
  int64_t timestamp;  // when the frame decoded from it is presented
  int64_t duration;
  int size;
  int flags;
};

class PacketMap {
 public:
  // The packets of the stream in container order, their timestamps still their pts
  // (AV_NOPTS_VALUE where none). A packet without a pts gets the timestamp that a decode
  // from the start gives its frame; `reorder_delay` is the stream's decoder delay in
  // frames (AVCodecParameters::video_delay). Fails with "video packet has neither PTS
  // nor DTS" where nothing can be derived. With `numbered`, the timestamps are final
  // (a decode has numbered the frames), and AV_NOPTS_VALUE marks a packet that gave none.
  static Result<PacketMap> build(std::vector<MappedPacket> packets, int reorder_delay,
                                 bool numbered);

  const std::vector<MappedPacket>& packets() const noexcept { return packets_; }
  // The last key packet, in container order, presented at or before `ts`; none when the
  // first key packet is presented after it.
  std::optional<size_t> key_at_or_before(int64_t ts) const noexcept;
  // Where reading starts so that the key packet `key` is decoded: the latest earlier
  // packet whose data starts at its own byte position (none shares it, so the first
  // packet read there is known), whose frame and those up to the key are not used.
  // The first packet's landing is the start of the input. The key itself is not taken:
  // the data at its position may begin with the tail of the packet before, which the
  // demuxer glues to the first packet it returns.
  size_t landing_for(size_t key) const noexcept;

 private:
  std::vector<MappedPacket> packets_;
  std::vector<size_t> keys_;  // indices of the key packets, ascending
};

}  // namespace ffmpeg
