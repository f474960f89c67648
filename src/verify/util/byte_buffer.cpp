#include "verify/util/byte_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

namespace kelvoma {
namespace {

constexpr std::size_t first_mapping = std::size_t{1} << 16;

std::uint8_t* map_bytes(std::size_t length) {
  void* memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    throw std::bad_alloc();
  }
  return static_cast<std::uint8_t*>(memory);
}

}  // namespace

ByteBuffer::ByteBuffer(std::size_t capacity) : capacity_(capacity) {}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    ByteBuffer dropped(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  if (data_ != nullptr) {
    munmap(data_, mapped_);
  }
}

std::span<std::uint8_t> ByteBuffer::spare() {
  if (size_ == mapped_ && mapped_ < capacity_) {
    // Doubling keeps the number of remaps logarithmic; mremap moves page
    // table entries, never the bytes themselves.
    const std::size_t wanted = std::min(capacity_, std::max(first_mapping, mapped_ * 2));
    if (data_ == nullptr) {
      data_ = map_bytes(wanted);
    } else {
      void* moved = mremap(data_, mapped_, wanted, MREMAP_MAYMOVE);
      if (moved == MAP_FAILED) {
        throw std::bad_alloc();
      }
      data_ = static_cast<std::uint8_t*>(moved);
    }
    mapped_ = wanted;
  }
  return {data_ + size_, mapped_ - size_};
}

void ByteBuffer::commit(std::size_t count) {
  assert(count <= mapped_ - size_);
  size_ += count;
}

}  // namespace kelvoma
