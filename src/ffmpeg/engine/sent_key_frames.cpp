#include "ffmpeg/engine/sent_key_frames.hpp"

namespace ffmpeg {

void SentKeyFrames::sent(const AVPacket& packet) noexcept {
  if (packet.pts == AV_NOPTS_VALUE) return;
  const int64_t order = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
  newest_order_ = order;
  if (!(packet.flags & AV_PKT_FLAG_KEY)) {
    if (count_ && packet.pts < recent_[(count_ - 1) % recent_.size()].pts) open_gop_ = true;
    return;
  }
  const Key key{order, packet.pts};
  if (!first_) first_ = key;
  recent_[count_++ % recent_.size()] = key;
}

bool SentKeyFrames::passes_seek(const IndexView& index, int64_t limit,
                                int64_t target) const noexcept {
  if (!first_ || index.landing < first_->order) return false;
  const unsigned kept = count_ < recent_.size() ? count_ : recent_.size();
  const Key& newest = recent_[(count_ - 1) % recent_.size()];
  if (index.landing > newest.order) {
    // Not sent yet. Decoding on reaches it with every frame before it decoded, as a pass
    // from the start of the stream would, and with closed groups of pictures every
    // answer the seek can give is one of such a pass. Started at the stream's first key
    // frame, too little has been seen to tell closed groups from open ones.
    const int64_t delay = first_->pts - first_->order;
    return !open_gop_ && first_->order != index.first && target < index.landing + delay;
  }
  std::optional<int64_t> pts;
  for (unsigned i = count_ - kept; i < count_; ++i) {
    const Key& key = recent_[i % recent_.size()];
    if (key.order == index.landing) pts = key.pts;
    // A key frame after the listed one that a seek to `limit` would land on: the index
    // is not complete there, and where the seek lands is not known.
    else if (pts && key.order <= limit) return false;
  }
  if (!pts || *pts > target) return false;
  // With open groups of pictures, a key frame not read yet could be where the seek
  // lands when the index lists only what was read.
  return !open_gop_ || index.complete || newest_order_ >= limit;
}

}  // namespace ffmpeg
