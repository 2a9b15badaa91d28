#include "ffmpeg/engine/interrupt.hpp"

#include <time.h>

namespace ffmpeg {
namespace {

// The coarse clock costs a few nanoseconds (no system call) and ticks every few
// milliseconds, fine enough for an interval of tens of milliseconds.
int64_t now_ms() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void Interrupt::arm(InterruptHook* hook) noexcept {
  hook_ = hook;
  next_poll_ = hook ? now_ms() + kInterruptInterval : 0;
  stopped_.store(false, std::memory_order_relaxed);
}

bool Interrupt::poll() noexcept {
  if (stopped()) return true;
  if (!hook_) return false;
  const int64_t now = now_ms();
  if (now < next_poll_) return false;
  next_poll_ = now + kInterruptInterval;
  if (hook_->stop_requested()) stop();
  return stopped();
}

}  // namespace ffmpeg
