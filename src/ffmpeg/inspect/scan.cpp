#include <algorithm>

#include "ffmpeg/inspect/metadata.hpp"

namespace ffmpeg {

Result<std::vector<PacketRecord>> scan(Decoder& d) {
  TRY(d.rewind());
  std::vector<PacketRecord> records;
  AVPacket* packet = d.packet.get();
  while (true) {
    d.read_since_open = true;
    const int r = av_read_frame(d.format_context.get(), packet);
    if (r == AVERROR_EOF) break;
    TRY(check(r, "scan packets"));
    // Packets flagged for discard (before an edit list's start) are never presented.
    if (packet->stream_index == d.stream_index && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
      const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (ts == AV_NOPTS_VALUE) {
        av_packet_unref(packet);
        return Error::runtime("video packet has neither PTS nor DTS");
      }
      records.push_back({ts, packet->duration, (packet->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(packet);
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const PacketRecord& a, const PacketRecord& b) { return a.pts < b.pts; });
  TRY(d.rewind());
  return records;
}

}  // namespace ffmpeg
