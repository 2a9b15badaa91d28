#include "ffmpeg/timing.hpp"

#include <cmath>
#include <limits>

namespace ffmpeg {

Result<int64_t> frame_timestamp(const AVFrame& frame) {
  if (frame.pts != AV_NOPTS_VALUE) return frame.pts;
  if (frame.best_effort_timestamp != AV_NOPTS_VALUE) return frame.best_effort_timestamp;
  return Error::runtime("decoded frame has no timestamp");
}

int64_t seconds_to_pts(Rational tb, double t) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const double q = std::floor(t / (static_cast<double>(tb.num) / static_cast<double>(tb.den)));
  if (std::isnan(q)) return 0;
  if (q >= 9223372036854775808.0) return kMax;
  if (q < -9223372036854775808.0) return kMin;
  auto p = static_cast<int64_t>(q);
  // t / tb and frame_seconds round differently (0.3 / 0.001 is 299.99999999999994):
  // correct the floor so that a second equal to a frame's start maps to that frame.
  if (p < kMax && frame_seconds(tb, p + 1) <= t) ++p;
  else if (p > kMin && frame_seconds(tb, p) > t) --p;
  return p;
}

}  // namespace ffmpeg
