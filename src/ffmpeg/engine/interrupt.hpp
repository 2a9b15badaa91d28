// Stopping long media work on the caller's request: the engine asks a hook of the
// caller's from its pump, and FFmpeg asks it through the format context's interrupt
// callback while it blocks in I/O (opening, reading from the network).
#pragma once

#include <atomic>
#include <cstdint>

namespace ffmpeg {

// Implemented by the caller. Asked at most every kInterruptInterval of media work and
// from FFmpeg's blocking I/O, on the thread that runs the work; true stops it.
class InterruptHook {
 public:
  virtual bool stop_requested() noexcept = 0;

 protected:
  ~InterruptHook() = default;
};

// Asking the hook may take a lock the caller shares, so it is asked at most this often
// (milliseconds of media work); a stop then takes effect within one interval.
constexpr int64_t kInterruptInterval = 50;

class Interrupt {
 public:
  // Arms `hook` for the work that follows, or disarms with null; either way an
  // earlier stop is forgotten.
  void arm(InterruptHook* hook) noexcept;
  // Whether the work must stop. Asks the hook once the interval has passed since it
  // was armed or last asked; after a stop, true without asking again.
  bool poll() noexcept;
  // A stop that the work found out by itself (an I/O callback's exit request).
  void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }
  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

 private:
  InterruptHook* hook_ = nullptr;
  int64_t next_poll_ = 0;  // CLOCK_MONOTONIC_COARSE, milliseconds
  // Also read by FFmpeg's interrupt callback, which a protocol may call from its own thread.
  std::atomic<bool> stopped_{false};
};

}  // namespace ffmpeg
