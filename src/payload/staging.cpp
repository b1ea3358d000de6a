#include "payload/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/child_process.h"
#include "base/fd.h"
#include "payload/digest.h"
#include "payload/field_value.h"
#include "payload/random_uuid.h"

namespace velto {
namespace {

// Writes every byte, offering each call the whole remainder. A write of 0 bytes would never end
// the loop, so it counts as a failure.
bool write_all(int fd, std::span<const unsigned char> bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool sync_file(int fd) noexcept {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Runs `reader -f path field` with standard input on /dev/null, reads both of its pipes to the
// end together (so neither can stall the other) and checks that it exited 0 naming `expected`.
bool confirm_field(const std::string& reader, const std::string& path, const ControlField& field) {
  const Command command{reader, {"-f", path, std::string(field.name)}};
  const CapturedRun run = command.run_capturing_output();
  return run.end.exited_with(0) && field_output_matches(run.output, field.value);
}

}  // namespace

StagedPackage& StagedPackage::operator=(StagedPackage&& other) noexcept {
  if (this != &other) {
    drop();
    directory_ = std::move(other.directory_);
    other.directory_.clear();
  }
  return *this;
}

std::string StagedPackage::package_path() const {
  std::string path = directory_;
  path += '/';
  path += kStagedFileName;
  return path;
}

void StagedPackage::drop() noexcept {
  if (directory_.empty()) return;
  // Both removals are attempted whatever happens to the first.
  ::unlink(package_path().c_str());
  ::rmdir(directory_.c_str());
  directory_.clear();
}

std::string staging_directory_path(const std::optional<std::string>& tmpdir,
                                   std::string_view uuid) {
  std::string path = tmpdir ? *tmpdir : std::string("/tmp");
  if (!path.empty() && path.back() != '/') path += '/';
  path += kStagingPrefix;
  path += uuid;
  return path;
}

std::optional<StagedPackage> stage_payload(const PackagePayload& payload,
                                           const std::string& field_reader,
                                           const std::optional<std::string>& tmpdir) {
  // Prove the bytes before anything is created.
  const auto digest = sha256_hex(payload.bytes);
  if (!digest || digest->size() != 64 || *digest != payload.digest ||
      payload.bytes.size() != payload.size) {
    return std::nullopt;
  }

  const std::string directory = staging_directory_path(tmpdir, random_uuid_v4());
  // One attempt only: an existing directory is never reused, and a missing parent is not made.
  if (::mkdir(directory.c_str(), 0700) != 0) return std::nullopt;
  StagedPackage staged{directory};  // from here on, every failure removes what was made

  const std::string path = staged.package_path();
  Fd file{::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
  if (!file) return std::nullopt;
  if (!write_all(file.get(), payload.bytes) || !sync_file(file.get())) return std::nullopt;

  // The descriptor stays open while the fields are read; it is close-on-exec, so the reader does
  // not inherit it.
  for (const ControlField& field : payload.fields) {
    if (!confirm_field(field_reader, path, field)) return std::nullopt;
  }
  file.reset();
  return staged;
}

}  // namespace velto
