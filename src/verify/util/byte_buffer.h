// A growable byte buffer for large bodies (up to 256 MiB) whose growth never
// copies what it already holds: it lives in an anonymous mapping that grows
// by remapping pages (no byte is copied), and pages are backed only as they
// are written, so peak memory stays close to the bytes held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvoma {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // A buffer that will never hold more than `capacity` bytes. Nothing is
  // reserved up front; the mapping grows as data is committed. Running out
  // of address space or memory throws std::bad_alloc, like any container.
  explicit ByteBuffer(std::size_t capacity);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

  // The writable space after the held bytes, growing the mapping when it is
  // full; empty only when `capacity` bytes are held. commit(n) then counts n
  // more bytes as held (n at most the space's length).
  std::span<std::uint8_t> spare();
  void commit(std::size_t count);

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t mapped_ = 0;
};

}  // namespace kelvoma
