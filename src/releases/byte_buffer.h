// A growable byte buffer for large bodies (up to 256 MiB) whose growth never
// copies what it already holds: it reserves address space once and lets the
// kernel back pages only as they are written, so peak memory stays close to
// the bytes held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvoma {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // Reserves address space for at most `capacity` bytes (no memory is
  // committed until written). A capacity of 0 holds nothing.
  explicit ByteBuffer(std::size_t capacity);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

  // The writable space after the held bytes; commit(n) then counts n more
  // bytes as held (n at most the space's length).
  std::span<std::uint8_t> spare();
  void commit(std::size_t count);

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t mapped_ = 0;
};

}  // namespace kelvoma
