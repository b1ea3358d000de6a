#include "payload/random_uuid.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/fd.h"
#include "base/io.h"

namespace velto {
namespace {

[[noreturn]] void fail(int error) {
  throw RandomSourceError(std::string("could not retrieve random bytes for uuid: ") +
                          std::strerror(error));
}

UuidBytes from_device() {
  // /dev/urandom never blocks, even before the pool is initialised; waiting for /dev/random to
  // become readable first makes sure the bytes are worth having.
  {
    Fd random{::open("/dev/random", O_RDONLY | O_CLOEXEC)};
    if (!random) fail(errno);
    pollfd ready{random.get(), POLLIN, 0};
    if (retry_on_eintr([&] { return ::poll(&ready, 1, -1); }) < 0) fail(errno);
  }
  Fd urandom{::open("/dev/urandom", O_RDONLY | O_CLOEXEC)};
  if (!urandom) fail(errno);
  UuidBytes bytes{};
  if (!read_exact(urandom.get(), bytes.data(), bytes.size())) fail(errno);
  return bytes;
}

}  // namespace

UuidBytes kernel_random_bytes() {
  UuidBytes bytes{};
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        retry_on_eintr([&] { return ::getrandom(bytes.data() + done, bytes.size() - done, 0); });
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == ENOSYS || errno == EPERM) return from_device();
    fail(errno);
  }
  return bytes;
}

std::string format_uuid_v4(UuidBytes bytes) {
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0f]);
  }
  return text;
}

std::string random_uuid_v4() { return format_uuid_v4(kernel_random_bytes()); }

bool is_uuid_v4_text(std::string_view text) noexcept {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen != (c == '-')) return false;
    if (!hyphen && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return text[14] == '4' &&
         (text[19] == '8' || text[19] == '9' || text[19] == 'a' || text[19] == 'b');
}

}  // namespace velto
