#include "ffmpeg/video/timestamp_mode.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ffmpeg {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

int64_t saturating_sub(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_sub_overflow(a, b, &r) ? (b > 0 ? kMin : kMax) : r;
}
int64_t saturating_add(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_add_overflow(a, b, &r) ? (b > 0 ? kMax : kMin) : r;
}

}  // namespace

Result<TimestampMode> TimestampMode::create(Decoder& d) {
  FramePtr retained(av_frame_alloc());
  if (!retained) return Error::runtime("cannot allocate lookahead frame");
  return TimestampMode(d, std::move(retained));
}

Status TimestampMode::run(const std::vector<double>& seconds, Placer& placer) {
  // No grouping: seconds answered by one frame are converted once each.
  std::vector<size_t> position(1);
  for (size_t i = 0; i < seconds.size(); ++i) {
    TRY(answer(seconds[i], i + 1 < seconds.size() ? seconds[i + 1] : std::optional<double>()));
    position[0] = i;
    TRY(placer.place(*retained_, position));
  }
  return ok();
}

Status TimestampMode::answer(double t, std::optional<double> next) {
  const Rational tb = d_->time_base();
  const int64_t tp = seconds_to_pts(tb, t);
  // The next second seeks when a key frame lies after the lookahead (the test below);
  // the frames after the lookahead would then only be flushed, so the decoder is
  // drained once its packet is in. After the last second nothing more is wanted.
  const std::optional<int64_t> next_key =
      next ? key_frame_for(seconds_to_pts(tb, *next)) : std::optional<int64_t>(kMax);
  seek_past_ = next_key ? *next_key : Aim::kNone;
  then_until_ = next ? seconds_to_pts(tb, *next) : Aim::kNone;
  // Only the latest frame that starts at or before t is the answer.
  d_->aim(Aim{.latest_until = tp, .seek_past = seek_past_, .then_until = then_until_});
  if (!has_frame_) return seek_back(t, tp);
  if (at_end_) return final_frame_check(t);
  const std::optional<int64_t> key = key_frame_for(tp);
  TRY_ASSIGN(const int64_t next_start, frame_timestamp(d_->frame()));
  // A key frame after the lookahead frame and at or before t: seeking beats decoding up
  // to it. Measured from the lookahead rather than the retained frame: when the
  // lookahead is that key frame, decoding on from it is the seek's work without the
  // seek. And MP4 indexes a key frame at its decoding time, which B-frames put before
  // the last frames shown ahead of it; for a second among those frames the seek lands
  // on the previous key frame, and its whole group of pictures would be decoded again.
  if (key && *key > next_start) return seek_back(t, tp);
  if (frame_seconds(tb, next_start) > t) return ok();  // still showing
  // The lookahead starts at or before t: nothing before it is the answer.
  d_->aim(Aim{.from = next_start, .latest_until = tp, .seek_past = seek_past_,
              .then_until = then_until_});
  return decode_forward(t, next_start);
}

Status TimestampMode::seek_back(double t, int64_t tp) {
  const Rational tb = d_->time_base();
  const int64_t start = d_->start_time();
  const double unit = static_cast<double>(tb.num) / static_cast<double>(tb.den);
  // About one second in time-base units.
  const double one_second = std::max(std::ceil(1.0 / unit), 1.0);
  int64_t step = one_second >= 9223372036854775808.0 ? kMax : static_cast<int64_t>(one_second);
  int64_t pos = tp;
  while (true) {
    // A refused seek is no failure here: the next attempt lands further back. The last
    // attempt rewinds rather than seeking to the start time: a demuxer that seeks by
    // decoding time (MPEG-TS with B-frames) lands after the first key frame there, and
    // nothing before the next key frame would be decoded. It rewinds with a decoder as
    // at open, as frame mode's pass from the start does: after a flush, HEVC drops the
    // leading pictures of the first key frame, which a decode from the start shows.
    if (pos <= start ? d_->start_over() : d_->seek(pos)) {
      TRY_ASSIGN(const bool got, d_->next());
      if (got) {
        TRY_ASSIGN(const int64_t s, frame_timestamp(d_->frame()));
        if (t >= frame_seconds(tb, s)) {
          has_frame_ = true;
          at_end_ = false;
          return decode_forward(t, s);
        }
      }
    }
    if (pos <= start) return Error::runtime("no frame at or before requested timestamp");
    pos = std::max(saturating_sub(tp, step), start);
    step = step > kMax / 2 ? kMax : step * 2;
  }
}

std::optional<int64_t> TimestampMode::key_frame_for(int64_t tp) const noexcept {
  return d_->route(tp, tp, tp).key_frame;
}

Status TimestampMode::decode_forward(double t, int64_t prev) {
  // The engine's frame starts at or before t. The request takes a second reference to
  // it (no copy) while the engine decodes ahead into its own frame.
  const Rational tb = d_->time_base();
  while (true) {
    av_frame_unref(retained_.get());
    TRY(check(av_frame_ref(retained_.get(), &d_->frame()), "retain playback frame"));
    TRY_ASSIGN(const bool got, d_->next());
    if (!got && d_->stopped_by_aim()) {
      // The decoder was drained before a frame after t came out (one was lost to a
      // damaged packet): find it again without draining.
      seek_past_ = Aim::kNone;
      d_->aim(Aim{.latest_until = seconds_to_pts(tb, t)});
      return seek_back(t, seconds_to_pts(tb, t));
    }
    if (!got) {
      at_end_ = true;  // the retained frame is the last
      return final_frame_check(t);
    }
    TRY_ASSIGN(const int64_t n, frame_timestamp(d_->frame()));
    if (n <= prev) return Error::runtime("timestamp mode requires strictly increasing frame PTS");
    // The retained frame answers t; the new one is the lookahead.
    if (frame_seconds(tb, n) > t) return ok();
    prev = n;
  }
}

Status TimestampMode::final_frame_check(double t) {
  const AVFrame& last = *retained_;
  TRY_ASSIGN(const int64_t ts, frame_timestamp(last));
  if (last.duration <= 0 || t >= frame_seconds(d_->time_base(), saturating_add(ts, last.duration)))
    return Error::runtime("timestamp exceeds final frame duration or duration is unknown");
  return ok();
}

}  // namespace ffmpeg
