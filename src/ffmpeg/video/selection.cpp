#include "ffmpeg/video/selection.hpp"

#include <map>
#include <optional>
#include <string>

namespace ffmpeg {
namespace {

struct FrameState {
  // Decoding may continue forward from the frame placed for the previous selection.
  bool positioned = false;
  std::optional<int64_t> last_seek_pts;
  // The frame placed for the previous selection: its timestamp and first position.
  std::optional<std::pair<int64_t, size_t>> placed;
};

struct Reached {
  std::optional<int64_t> timestamp;  // the first frame at or after the target; none at the end
  bool preceded = false;             // a frame before the target was decoded on the way
};

// Decodes forward to the first frame at or after `pts`.
Result<Reached> decode_until(Decoder& d, int64_t pts) {
  Reached r;
  while (true) {
    TRY_ASSIGN(const bool got, d.next());
    if (!got) return r;
    TRY_ASSIGN(const int64_t timestamp, frame_timestamp(d.frame()));
    if (timestamp >= pts) {
      r.timestamp = timestamp;
      return r;
    }
    r.preceded = true;
  }
}

Error no_frame(int64_t pts) {
  return Error::runtime("no decoded frame at PTS " + std::to_string(pts));
}

// Whether decoding on from the frame placed last gives what the seek to `s.seek_pts`
// would: the target lies strictly after that frame (so no frame the seek could answer
// with has been passed, not even when not exact), and the engine can tell that decoding
// on passes through what the seek would decode.
bool seek_passed(const Decoder& d, const FrameState& state, const Selection::Frame& s) {
  if (!state.positioned || !state.placed || s.pts <= state.placed->first) return false;
  return d.route(s.seek_pts, s.pts, state.placed->first).decode_on;
}

// Whether the frame of `s` is the last one decoded before the next seek: it is exact
// (known by its packet) and either the request's last, or `next` lies past a key frame
// after it that a seek lands on. Decoding on would then only pass through referenced
// frames up to that key frame, and with frame threads decode some after the target
// only to flush them.
bool last_before_seek(const Decoder& d, const Selection::Frame& s, const Selection::Frame* next) {
  if (!s.exact) return false;
  return !next || (next->seek_pts != s.seek_pts &&
                   d.route(next->seek_pts, next->pts, s.pts).seek_skips_ahead);
}

// Leaves the frame that answers `s` in the engine's frame; returns its timestamp. With
// `last`, nothing after its frame is decoded, and the next frame needs a seek.
Result<int64_t> reach_frame(Decoder& d, FrameState& state, const Selection::Frame& s,
                            bool last) {
  bool sought = false;
  if (!state.positioned || (state.last_seek_pts != s.seek_pts && !seek_passed(d, state, s))) {
    TRY(d.seek(s.seek_pts));
    sought = true;
  }
  state.last_seek_pts = s.seek_pts;
  // Frames before the target are never the answer.
  d.aim(Aim{.from = s.pts, .last = last ? s.pts : Aim::kNone});
  TRY_ASSIGN(Reached first, decode_until(d, s.pts));
  // A frame after the target is its answer only if nothing between can have been
  // skipped: decoding continued from an earlier frame, or passed one on the way.
  if (first.timestamp && (*first.timestamp == s.pts || (!s.exact && (first.preceded || !sought)))) {
    state.positioned = !last;
    return *first.timestamp;
  }
  // The seek landed after the frame, or the frame does not exist; only a pass from the
  // start of the stream can tell. A seek point can land after its frame although it is
  // the key frame's own pts: a demuxer that seeks by decoding time (MPEG-TS with
  // B-frames) lands after that key frame, and the decoder then shows nothing until the
  // next one, which the last group of pictures does not have. A seek to the start
  // time misses the start for the same reason, so the rewind aims below it. The pass
  // starts with a decoder as at open: after a flush, HEVC still drops the leading
  // pictures of a key frame the first pass began at, although the second pass reaches
  // them with their references.
  state.positioned = false;
  TRY(d.start_over());
  TRY_ASSIGN(const Reached again, decode_until(d, s.pts));
  if (!again.timestamp) return no_frame(s.pts);
  if (s.exact && *again.timestamp != s.pts)
    return Error::runtime("no decoded frame at exact PTS " + std::to_string(s.pts));
  return *again.timestamp;
}

}  // namespace

Plan plan_frames(const VideoRequest::Frames& request) {
  // Ordered by pts; a repeated pts keeps the seek point it was first given with.
  std::map<int64_t, PlanEntry> by_pts;
  for (size_t i = 0; i < request.targets.size(); ++i) {
    const FrameTarget& t = request.targets[i];
    auto [it, inserted] = by_pts.try_emplace(
        t.pts, PlanEntry{Selection{Selection::Frame{request.exact, t.pts, t.seek_pts}}, {}});
    it->second.positions.push_back(i);
  }
  Plan plan;
  plan.reserve(by_pts.size());
  for (auto& [pts, entry] : by_pts) plan.push_back(std::move(entry));
  return plan;
}

Status run_frame_plan(Decoder& d, const Plan& plan, Placer& placer) {
  FrameState state;
  for (size_t i = 0; i < plan.size(); ++i) {
    const PlanEntry& entry = plan[i];
    const auto& s = std::get<Selection::Frame>(entry.selection.value);
    const Selection::Frame* next =
        i + 1 < plan.size() ? &std::get<Selection::Frame>(plan[i + 1].selection.value) : nullptr;
    // Continuing forward without a seek, the frame just placed may already be the
    // first at or after this pts too (targets 110 and 150 between frames 100 and
    // 200): it answers again, as it would if this target were asked for alone.
    if (!s.exact && state.positioned && state.last_seek_pts == s.seek_pts && state.placed &&
        state.placed->first >= s.pts) {
      placer.place_again(state.placed->second, entry.positions);
      continue;
    }
    TRY_ASSIGN(const int64_t timestamp, reach_frame(d, state, s, last_before_seek(d, s, next)));
    TRY(placer.place(d.frame(), entry.positions));
    state.placed = {timestamp, entry.positions.front()};
  }
  return ok();
}

}  // namespace ffmpeg
