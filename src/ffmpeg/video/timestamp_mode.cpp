#include "ffmpeg/video/timestamp_mode.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ffmpeg/video/selection.hpp"
#include "ffmpeg/timing.hpp"

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
  FramePtr lookahead(av_frame_alloc());
  if (!lookahead) return Error::runtime("cannot allocate lookahead frame");
  return TimestampMode(d, std::move(lookahead));
}

Status TimestampMode::run(const std::vector<double>& seconds, Placer& placer) {
  // No grouping: seconds answered by one frame are converted once each.
  std::vector<size_t> position(1);
  for (size_t i = 0; i < seconds.size(); ++i) {
    TRY(answer(seconds[i]));
    position[0] = i;
    TRY(placer.place(*d_->frame, position));
  }
  return ok();
}

Status TimestampMode::answer(double t) {
  if (!has_frame_) return seek_back(t, seconds_to_pts(d_->time_base, t));
  if (at_end_) return final_frame_check(t);
  const int64_t tp = seconds_to_pts(d_->time_base, t);
  AVStream* stream = d_->stream();
  const int i = av_index_search_timestamp(stream, tp, AVSEEK_FLAG_BACKWARD);
  const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
  TRY_ASSIGN(const int64_t next_start, frame_timestamp(lookahead_.get()));
  // A key frame after the lookahead frame and at or before t: seeking beats decoding up
  // to it. Measured from the lookahead rather than the retained frame: when the
  // lookahead is that key frame, decoding on from it is the seek's work without the
  // seek. And MP4 indexes a key frame at its decoding time, which B-frames put before
  // the last frames shown ahead of it; for a second among those frames the seek lands
  // on the previous key frame, and its whole group of pictures would be decoded again.
  if (entry && entry->timestamp > next_start) return seek_back(t, tp);
  if (frame_seconds(d_->time_base, next_start) > t) return ok();  // still showing
  exchange();
  return decode_forward(t, next_start);
}

Status TimestampMode::seek_back(double t, int64_t tp) {
  const int64_t start_time = d_->stream()->start_time;
  const int64_t start = start_time == AV_NOPTS_VALUE ? 0 : start_time;
  const double tb = static_cast<double>(d_->time_base.num) / static_cast<double>(d_->time_base.den);
  // About one second in time-base units.
  const double one_second = std::max(std::ceil(1.0 / tb), 1.0);
  int64_t step = one_second >= 9223372036854775808.0 ? kMax : static_cast<int64_t>(one_second);
  int64_t pos = tp;
  while (true) {
    // A refused seek is no failure here: the next attempt lands further back. The last
    // attempt rewinds rather than seeking to the start time: a demuxer that seeks by
    // decoding time (MPEG-TS with B-frames) lands after the first key frame there, and
    // nothing before the next key frame would be decoded.
    if (pos <= start ? d_->rewind() : d_->seek(pos)) {
      TRY_ASSIGN(const bool got, d_->next());
      if (got) {
        TRY_ASSIGN(const int64_t s, frame_timestamp(d_->frame.get()));
        if (t >= frame_seconds(d_->time_base, s)) {
          av_frame_unref(lookahead_.get());
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

Status TimestampMode::decode_forward(double t, int64_t prev) {
  // The lookahead object holds the retained frame (a second reference, no copy)
  // while the engine's frame decodes ahead.
  while (true) {
    av_frame_unref(lookahead_.get());
    TRY(check(av_frame_ref(lookahead_.get(), d_->frame.get()), "retain playback frame"));
    TRY_ASSIGN(const bool got, d_->next());
    if (!got) {
      exchange();  // the last frame becomes the engine's frame
      at_end_ = true;
      return final_frame_check(t);
    }
    TRY_ASSIGN(const int64_t n, frame_timestamp(d_->frame.get()));
    if (n <= prev) return Error::runtime("timestamp mode requires strictly increasing frame PTS");
    if (frame_seconds(d_->time_base, n) > t) {
      exchange();  // the retained frame answers t; the new one is the lookahead
      return ok();
    }
    prev = n;
  }
}

Status TimestampMode::final_frame_check(double t) {
  const AVFrame* last = d_->frame.get();
  TRY_ASSIGN(const int64_t ts, frame_timestamp(last));
  if (last->duration <= 0 || t >= frame_seconds(d_->time_base, saturating_add(ts, last->duration)))
    return Error::runtime("timestamp exceeds final frame duration or duration is unknown");
  return ok();
}

}  // namespace ffmpeg
