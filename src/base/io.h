// Reads, writes and waits that the kernel may interrupt (EINTR) or carry out only in part. Each is
// retried or continued here, the one place that does so, and each caller states its intent in one
// call. Every function is async-signal-safe where the call it wraps is.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace velto {

// Keeps errno, for the scope it lives in, as it was when it was made: clean-up (close, unlink,
// restoring a signal mask) then never hides the error a caller is about to read.
class ErrnoSaver {
 public:
  ErrnoSaver() noexcept : saved_(errno) {}
  ErrnoSaver(const ErrnoSaver&) = delete;
  ErrnoSaver& operator=(const ErrnoSaver&) = delete;
  ~ErrnoSaver() { errno = saved_; }

 private:
  int saved_;
};

// `call()`, again for as long as it fails with EINTR: for the system calls that return -1 and set
// errno on failure (read, waitpid, poll, fsync, flock, nanosleep with its remainder). Its last
// result. A poll or wait with a time limit starts that limit again.
template <typename Call>
auto retry_on_eintr(Call call) noexcept(noexcept(call())) {
  decltype(call()) result;
  while ((result = call()) == -1 && errno == EINTR) {
  }
  return result;
}

// Reads into `buffer` until it is full or the file ends. The bytes read, or -1 with errno set.
ssize_t read_up_to(int fd, void* buffer, std::size_t size) noexcept;

// Reads exactly `size` bytes; false with errno set otherwise (EIO when the file ends first).
bool read_exact(int fd, void* buffer, std::size_t size) noexcept;

// Writes every byte, offering each call the whole remainder. False with errno set on an error; a
// write of 0 bytes would never end, so it fails too, with errno as it was.
bool write_all(int fd, const void* bytes, std::size_t size) noexcept;

}  // namespace velto
