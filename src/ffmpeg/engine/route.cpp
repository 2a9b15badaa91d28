// Seek planning: what the index, the packet map and the key frames sent so far tell of
// where a seek would land, and whether decoding on reaches a frame as well.
#include "ffmpeg/engine/decoder.hpp"

namespace ffmpeg {

Route Decoder::route(int64_t seek_pts, int64_t target, int64_t from) const noexcept {
  const std::optional<int64_t> landing = indexed_key_frame(seek_pts);
  // The map's timestamps are presentation times: the key frame is where the seek lands.
  const std::optional<int64_t> delay =
      seeks_by_map_ ? std::optional<int64_t>(0) : sent_keys_.key_delay();
  const bool skips_ahead = landing && delay && *landing > from && *landing + *delay <= target;
  return Route{.key_frame = landing,
               .decode_on = passes_seek(seek_pts, target),
               .seek_skips_ahead = skips_ahead};
}

std::optional<int64_t> Decoder::indexed_key_frame(int64_t ts) const noexcept {
  if (seeks_by_map_) {
    if (!map_) return std::nullopt;
    const std::optional<size_t> key = map_->key_at_or_before(ts);
    if (!key) return std::nullopt;
    return map_->packets()[*key].timestamp;
  }
  AVStream* st = format_context_->streams[stream_index_];
  const int i = av_index_search_timestamp(st, ts, AVSEEK_FLAG_BACKWARD);
  // A negative index (no entry at or before ts) gives no entry.
  const AVIndexEntry* entry = avformat_index_get_entry(st, i);
  if (!entry) return std::nullopt;
  return entry->timestamp;
}

bool Decoder::passes_seek(int64_t seek_pts, int64_t target) const noexcept {
  // Decoding resumed at or before the key frame the seek would resume at, and that key
  // frame has been read since: the seek would decode what has been decoded.
  if (seeks_by_map_) {
    if (!map_ || !map_next_ || !map_found_) return false;
    const std::optional<size_t> key = map_->key_at_or_before(seek_pts);
    return key && map_key_ <= *key && *key < *map_next_ &&
           map_->packets()[*key].timestamp <= target;
  }
  const std::optional<int64_t> landing = indexed_key_frame(seek_pts);
  AVStream* st = format_context_->streams[stream_index_];
  const AVIndexEntry* first = avformat_index_get_entry(st, 0);
  if (!landing || !first) return false;
  const bool complete = st->nb_frames > 0 && avformat_index_get_entries_count(st) >= st->nb_frames;
  return sent_keys_.passes_seek({*landing, first->timestamp, complete}, seek_pts, target);
}

}  // namespace ffmpeg
