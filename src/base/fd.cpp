#include "base/fd.h"

#include <unistd.h>

#include <cerrno>

namespace velto {

void Fd::reset(int fd) noexcept {
  if (fd_ >= 0) {
    const int saved = errno;
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

}  // namespace velto
