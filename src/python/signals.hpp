// Signal handlers during media work: Ctrl-C (KeyboardInterrupt) or any handler that
// raises stops a method whose work runs with the interpreter lock released.
#pragma once

#include "python/python.hpp"

#include <utility>

#include "ffmpeg/engine/decoder.hpp"

namespace av {

// The engine's interrupt hook: takes the interpreter lock briefly and runs the pending
// signal handlers. Their exception stays set in the thread state for the method to
// raise; once one is pending, no Python code runs again before the method returns.
// Made with the lock held, on the thread that runs the work. Python runs signal
// handlers on the main thread only, so elsewhere there is no hook (hook() is null) and
// nothing takes the lock.
class SignalCheck final : public ffmpeg::InterruptHook {
 public:
  SignalCheck();
  ffmpeg::InterruptHook* hook() noexcept { return main_thread_ ? this : nullptr; }
  bool stop_requested() noexcept override;

 private:
  unsigned long thread_;
  bool main_thread_;
};

// Runs `work` (media work on `engine`, returning a Result) with the lock released and
// signal handlers able to stop it. An exception pending afterwards wins over whatever
// the work returned, success included: a demuxer may take a read that was told to
// stop for the end of the file.
template <typename F>
auto interruptible(ffmpeg::Decoder& engine, F&& work) -> decltype(work()) {
  SignalCheck signals;
  engine.set_interrupt(signals.hook());
  auto result = without_lock(std::forward<F>(work));
  engine.set_interrupt(nullptr);
  if (PyErr_Occurred()) return ffmpeg::Error::interrupted();
  return result;
}

}  // namespace av
