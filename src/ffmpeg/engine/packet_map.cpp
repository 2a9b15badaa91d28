#include "ffmpeg/engine/packet_map.hpp"

#include <algorithm>

namespace ffmpeg {

Result<PacketMap> PacketMap::build(std::vector<MappedPacket> packets, int reorder_delay,
                                   bool numbered) {
  // Walked backwards, so that the decoding time of the next reference packet is known.
  // A decoder that reorders outputs a reference frame when the next one is decoded and
  // gives it that packet's dts (a B-frame's pts equals its dts, a reference frame's is
  // later); the last reference frame comes out at the drain, when the next packet's dts
  // would have been the last one's plus its duration.
  int64_t next_reference = AV_NOPTS_VALUE;
  if (!packets.empty() && packets.back().dts != AV_NOPTS_VALUE && packets.back().duration > 0)
    next_reference = packets.back().dts + packets.back().duration;
  for (size_t i = packets.size(); i-- > 0;) {
    MappedPacket& p = packets[i];
    const int64_t pts = p.timestamp;
    if (pts == AV_NOPTS_VALUE && !numbered) {
      if (p.dts == AV_NOPTS_VALUE) return Error::runtime("video packet has neither PTS nor DTS");
      p.timestamp = reorder_delay > 0 && next_reference != AV_NOPTS_VALUE ? next_reference : p.dts;
    }
    if (p.dts != AV_NOPTS_VALUE && pts != p.dts) next_reference = p.dts;
  }
  PacketMap map;
  map.packets_ = std::move(packets);
  for (size_t i = 0; i < map.packets_.size(); ++i)
    if (map.packets_[i].flags & AV_PKT_FLAG_KEY) map.keys_.push_back(i);
  return map;
}

std::optional<size_t> PacketMap::key_at_or_before(int64_t ts) const noexcept {
  // Key frames are presented in container order, so the last one at or before ts is
  // found by walking back from the first one after it.
  auto it = std::partition_point(keys_.begin(), keys_.end(),
                                 [&](size_t i) { return packets_[i].timestamp <= ts; });
  if (it == keys_.begin()) return std::nullopt;
  return *std::prev(it);
}

size_t PacketMap::landing_for(size_t key) const noexcept {
  for (size_t j = key; j-- > 1;) {
    const int64_t pos = packets_[j].pos;
    const int64_t before = packets_[j - 1].pos;
    if (pos >= 0 && before >= 0 && before < pos) return j;
  }
  return 0;
}

}  // namespace ffmpeg
