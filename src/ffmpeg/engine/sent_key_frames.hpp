// The key frames sent to the decoder since the last seek, so that a seek can be told
// apart from decoding on: when the key frame it would land on has gone, or will go, to
// the decoder anyway, decoding on gives what the seek would.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

class SentKeyFrames {
 public:
  void restart() noexcept {
    first_.reset();
    count_ = 0;
  }
  void sent(const AVPacket& packet) noexcept;

  // What the demuxer's index says about a seek.
  struct IndexView {
    int64_t landing;  // the key frame the seek lands on: its decoding time, or its
                      // presentation time where the container has no other
    int64_t first;    // the stream's first key frame, likewise
    bool complete;    // every packet is listed (an index built while reading is not)
  };
  // Whether decoding on towards `target` passes through what a seek to `limit` would
  // decode. Either the key frame the seek lands on was sent since the last seek, starts
  // at or before the target, and no later key frame sent lies at or before `limit`
  // (which would show the index incomplete); or it lies ahead of every key frame sent,
  // the seek would likely land after the target (decoding time and presentation time of
  // key frames differ by as much as for the first one sent), and the stream has closed
  // groups of pictures: a leading picture decoded after a seek to its key frame misses
  // its references, decoded on it has them.
  bool passes_seek(const IndexView& index, int64_t limit, int64_t target) const noexcept;

 private:
  struct Key {
    int64_t order;  // the dts, or the pts when there is none: what an index lists
    int64_t pts;
  };
  std::optional<Key> first_;     // the first key frame sent since the seek
  std::array<Key, 4> recent_{};  // the last ones, a ring
  unsigned count_ = 0;
  int64_t newest_order_ = 0;  // of the last packet sent
  // A packet sent after a key frame started before it: the stream has open groups of
  // pictures. Kept for the engine's life.
  bool open_gop_ = false;
};

}  // namespace ffmpeg
