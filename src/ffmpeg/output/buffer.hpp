// Buffers that become NumPy arrays: allocated and filled media-side, then moved into
// the array's owner object without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace ffmpeg {

enum class ElementType { UInt8, UInt16, Float32 };

inline size_t element_size(ElementType t) {
  return t == ElementType::UInt8 ? 1 : t == ElementType::UInt16 ? 2 : 4;
}

// An owned buffer of `length` elements (room for `capacity`), released by `release`.
class OwnedBuffer {
 public:
  using Release = void (*)(void* data, size_t length, size_t capacity);

  OwnedBuffer() = default;
  OwnedBuffer(void* data, size_t length, size_t capacity, ElementType type,
              Release release) noexcept
      : data_(data), length_(length), capacity_(capacity), type_(type), release_(release) {}
  OwnedBuffer(OwnedBuffer&& o) noexcept { *this = std::move(o); }
  OwnedBuffer& operator=(OwnedBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(length_, o.length_);
    std::swap(capacity_, o.capacity_);
    std::swap(type_, o.type_);
    std::swap(release_, o.release_);
    return *this;
  }
  ~OwnedBuffer() {
    if (release_) release_(data_, length_, capacity_);
  }

  // A buffer of `count` elements plus `slack` spare bytes, whose contents are left to
  // the caller to write (large ones come from the block pool and are not cleared);
  // an empty buffer on allocation failure (data() null).
  static OwnedBuffer for_writing(size_t count, ElementType type, size_t slack = 0);

  uint8_t* bytes() const noexcept { return static_cast<uint8_t*>(data_); }
  void* data() const noexcept { return data_; }
  size_t length() const noexcept { return length_; }
  size_t capacity() const noexcept { return capacity_; }
  ElementType type() const noexcept { return type_; }

  // Gives up ownership: the caller now releases the memory with the returned function.
  Release release() noexcept {
    data_ = nullptr;
    return std::exchange(release_, nullptr);
  }

 private:
  void* data_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
  ElementType type_ = ElementType::UInt8;
  Release release_ = nullptr;
};

}  // namespace ffmpeg
