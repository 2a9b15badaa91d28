// Large output buffers, kept for the next request after their array is freed.
//
// A fresh gigabyte-sized array costs the kernel one page fault and one page clear per
// page on first touch, which on its own can take longer than decoding the pictures
// written into it. glibc hands blocks this large straight back to the kernel on free,
// so every request would pay that again; this pool keeps a couple of released blocks
// and gives them to the next request instead. Kept blocks are marked MADV_FREE: the
// kernel may still take their pages back under memory pressure (a reuse then simply
// faults in fresh pages), so the pool never holds memory the system needs.
#pragma once

#include <cstddef>

namespace ffmpeg {

// Blocks from this size on come from the pool; smaller ones from malloc.
constexpr size_t kPooledBytes = size_t{8} << 20;

// A block of at least `bytes` bytes whose contents are unspecified; null when the
// memory cannot be had. 64-byte aligned.
void* acquire_block(size_t bytes) noexcept;

// Returns a block from acquire_block to the pool, or to the system when the pool is full.
void release_block(void* data) noexcept;

}  // namespace ffmpeg
