// Timestamps and seconds in a stream's time base.
#pragma once

#include <cstdint>

#include "ffmpeg/error.hpp"
#include "ffmpeg/ptr.hpp"

namespace ffmpeg {

struct Rational {
  int num = 0;
  int den = 1;
};

// Seconds of a timestamp: numerator x ts / denominator, in doubles, multiplication first.
inline double frame_seconds(Rational tb, int64_t ts) {
  return static_cast<double>(tb.num) * static_cast<double>(ts) / static_cast<double>(tb.den);
}

// A decoded frame's pts, else its best-effort timestamp.
Result<int64_t> frame_timestamp(const AVFrame& frame);

// The largest timestamp p with frame_seconds(p) <= t, saturated to 64 bits (NaN gives 0).
int64_t seconds_to_pts(Rational tb, double t);

}  // namespace ffmpeg
