#include "base/io.h"

#include <unistd.h>

namespace velto {

ssize_t read_up_to(int fd, void* buffer, std::size_t size) noexcept {
  auto* at = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = retry_on_eintr([&] { return ::read(fd, at + done, size - done); });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool read_exact(int fd, void* buffer, std::size_t size) noexcept {
  const ssize_t n = read_up_to(fd, buffer, size);
  if (n >= 0 && static_cast<std::size_t>(n) != size) errno = EIO;
  return n >= 0 && static_cast<std::size_t>(n) == size;
}

bool write_all(int fd, const void* bytes, std::size_t size) noexcept {
  const auto* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = retry_on_eintr([&] { return ::write(fd, at, size); });
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace velto
