// Times the unavoidable parts of a check on one package file: SHA-256 of the bytes in memory, and
// writing them to a new file with fsync. Prints medians in milliseconds as JSON.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/fd.h"
#include "payload/digest.h"

namespace {

template <typename F>
double median_ms(int runs, F&& body) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: payload_parts PACKAGE.deb SCRATCH_DIR\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  const std::string target = std::string(argv[2]) + "/payload-parts.deb";

  bool ok = true;
  const double hash = median_ms(21, [&] { ok = ok && velto::sha256_hex(bytes).has_value(); });
  const double write = median_ms(21, [&] {
    velto::Fd fd{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    std::size_t done = 0;
    while (fd && done < bytes.size()) {
      const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ok = ok && fd && done == bytes.size() && ::fsync(fd.get()) == 0;
    fd.reset();
    ::unlink(target.c_str());
  });
  std::printf("{\"bytes\": %zu, \"sha256_ms\": %.3f, \"write_fsync_ms\": %.3f}\n", bytes.size(),
              hash, write);
  return ok ? 0 : 1;
}
