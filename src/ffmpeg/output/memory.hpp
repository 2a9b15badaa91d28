// The memory a request may still take. Linux overcommits: an allocation far beyond what
// the system has "succeeds", and the process is killed later, when its pages are first
// touched. So outputs whose size the input decides (a picture size a header claims, the
// samples of a long stream) are checked against what the system can give before they
// are allocated, and fail with a memory error instead.
#pragma once

#include <cstdint>

#include "ffmpeg/error.hpp"

namespace ffmpeg {

// Bytes that can still be allocated without running the system out of memory: the
// kernel's estimate of available memory plus free swap, lowered by what the memory
// cgroup's limit and the address-space and data-size limits leave.
uint64_t available_memory() noexcept;

// A memory error "<what> needs <n> MiB, more than the <m> MiB available" when `bytes`
// more than available_memory().
Status check_memory(uint64_t bytes, const char* what);

}  // namespace ffmpeg
