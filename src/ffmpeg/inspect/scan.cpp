#include "ffmpeg/inspect/scan.hpp"

#include <algorithm>

namespace ffmpeg {

Result<std::vector<PacketRecord>> scan(Decoder& d) {
  TRY_ASSIGN(const std::shared_ptr<const PacketMap> map, d.packet_map());
  std::vector<PacketRecord> records;
  records.reserve(map->packets().size());
  for (const MappedPacket& p : map->packets()) {
    // Packets flagged for discard (before an edit list's start) are never presented, nor
    // are those that the numbering decode got no frame for.
    if ((p.flags & AV_PKT_FLAG_DISCARD) || p.timestamp == AV_NOPTS_VALUE) continue;
    records.push_back({p.timestamp, p.duration, (p.flags & AV_PKT_FLAG_KEY) != 0});
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const PacketRecord& a, const PacketRecord& b) { return a.pts < b.pts; });
  return records;
}

}  // namespace ffmpeg
