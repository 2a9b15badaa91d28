// Seeks, the return to the start, and the packet map that byte seeks go by.
#include <algorithm>

#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

Status Decoder::seek_frame(int64_t target, int flags) {
  // Taken before the I/O context's error, which tells of an interrupted read, is cleared.
  if (interrupted()) return Error::interrupted();
  // An I/O context remembers a failed read for the rest of its life; a seek starts
  // reading afresh, so one transient failure of a file-like object, or an interrupted
  // read, does not fail every later call.
  if (AVIOContext* pb = format_context_->pb) {
    pb->error = 0;
    pb->eof_reached = 0;
  }
  TRY(check_io(av_seek_frame(format_context_.get(), stream_index_, target, flags), "seek"));
  reset_after_seek();
  return ok();
}

Status Decoder::seek_bytes(int64_t pos) { return seek_frame(pos, AVSEEK_FLAG_BYTE); }

Status Decoder::seek_to_key(size_t key, bool from_start) {
  const std::vector<MappedPacket>& packets = map_->packets();
  if (packets.empty()) return seek_bytes(0);
  const size_t landing = from_start ? 0 : map_->landing_for(key);
  // The start of the input rather than the first packet's own position: what comes
  // before it (a stream's parameter sets) belongs to it.
  TRY(seek_bytes(landing == 0 ? 0 : packets[landing].pos));
  map_next_ = landing;
  map_key_ = from_start ? 0 : key;
  map_passed_ = 0;
  if (!from_start) deliver_from_ = packets[key].timestamp;
  return ok();
}

Result<std::shared_ptr<const PacketMap>> Decoder::read_packet_map() {
  std::vector<MappedPacket> packets;
  while (true) {
    TRY_ASSIGN(const std::optional<PacketInfo> info, scan_packet());
    if (!info) break;
    packets.push_back(
        {info->pos, info->dts, info->pts, info->duration, info->size, info->flags});
  }
  // Packets without any timestamp (elementary streams have none at all) are dated by
  // the frames a decode from the start gives, in the order it presents them. Only where
  // seeks go by the map are those dates given back to the packets; elsewhere such a
  // packet fails the scan.
  const bool numbered = seeks_by_map_ &&
                        std::any_of(packets.begin(), packets.end(), [](const MappedPacket& p) {
                          return p.timestamp == AV_NOPTS_VALUE && p.dts == AV_NOPTS_VALUE;
                        });
  if (numbered) TRY(number_frames(packets));
  TRY_ASSIGN(PacketMap map,
             PacketMap::build(std::move(packets), stream().codecpar->video_delay, numbered));
  return std::make_shared<const PacketMap>(std::move(map));
}

Result<std::shared_ptr<const PacketMap>> Decoder::packet_map() {
  if (!seeks_by_map_) {
    TRY(rewind());
    TRY_ASSIGN(std::shared_ptr<const PacketMap> map, read_packet_map());
    TRY(rewind());
    return map;
  }
  TRY(rewind());
  return map_;
}

Status Decoder::seek(int64_t target) {
  if (seeks_by_map_) {
    if (!map_) TRY(rewind());  // reads the map
    const std::optional<size_t> key = map_->key_at_or_before(target);
    // Before the first key frame: from the start, as the backward seek would land.
    return key ? seek_to_key(*key, false) : seek_to_key(0, true);
  }
  return seek_frame(target, AVSEEK_FLAG_BACKWARD);
}

Status Decoder::rewind() {
  if (seeks_by_map_) {
    if (!map_) {
      TRY(seek_bytes(0));
      TRY_ASSIGN(map_, read_packet_map());
    }
    return seek_to_key(0, true);
  }
  // A backward seek lands on the last index entry at or before its target, so a seek
  // to start_time itself can skip packets stored before that entry (AAC priming
  // packets, edit lists, a transport stream's first key frame). Aim below every
  // timestamp first. Some demuxers refuse a target before their first entry (MP3
  // refuses -1, and its start_time lies after its first packet, which carries the
  // encoder delay): then 0, then the start time itself.
  const int64_t start = start_time();
  const int64_t low = std::min<int64_t>(start, 0);
  Status result = seek(low - 1);
  if (!result) result = seek(low);
  if (!result && start != low) result = seek(start);
  if (!result && result.error().kind == ErrorKind::Interrupted) return result;
  // A container that cannot seek at all (a Matroska file cut short, without cues) is
  // still at its start if nothing has been read since the open.
  if (result || !read_since_open_) return ok();
  return result;
}

Status Decoder::start_over() {
  TRY(rewind());
  return restart();
}

}  // namespace ffmpeg
