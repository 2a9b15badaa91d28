#include "ffmpeg/inspect/scan.hpp"

#include <algorithm>

namespace ffmpeg {

Result<std::vector<PacketRecord>> scan(Decoder& d) {
  TRY(d.rewind());
  std::vector<PacketRecord> records;
  while (true) {
    TRY_ASSIGN(const std::optional<PacketInfo> packet, d.scan_packet());
    if (!packet) break;
    // Packets flagged for discard (before an edit list's start) are never presented.
    if (packet->flags & AV_PKT_FLAG_DISCARD) continue;
    const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (ts == AV_NOPTS_VALUE) return Error::runtime("video packet has neither PTS nor DTS");
    records.push_back({ts, packet->duration, (packet->flags & AV_PKT_FLAG_KEY) != 0});
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const PacketRecord& a, const PacketRecord& b) { return a.pts < b.pts; });
  TRY(d.rewind());
  return records;
}

}  // namespace ffmpeg
