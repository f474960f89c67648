// The one owner of a file descriptor in this code base: closed when the
// owner goes, moved but never copied.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kelvoma {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Linux releases the descriptor even when close reports EINTR, so a close
  // is never retried.
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  // Closes now and reports the outcome (0 or the errno): a write-back error
  // can surface only here.
  int close() {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  }

  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace kelvoma
