#include "base/fd.h"

#include <unistd.h>

#include "base/io.h"

namespace velto {

void Fd::reset(int fd) noexcept {
  if (fd_ >= 0) {
    const ErrnoSaver saved;
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace velto
