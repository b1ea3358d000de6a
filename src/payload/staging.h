#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velto {

struct ControlField {
  std::string_view name;
  std::string_view value;
};

// A Debian package carried by the program, with the facts it must prove before anyone acts on it.
struct PackagePayload {
  std::span<const unsigned char> bytes;
  std::string_view digest;  // SHA-256 as 64 lowercase hexadecimal digits
  std::size_t size = 0;
  std::array<ControlField, 3> fields;  // confirmed in this order
};

inline constexpr std::string_view kStagedFileName = "velto.deb";
inline constexpr std::string_view kStagingPrefix = "velto-installer-";

// A private staging directory holding the proven package. Moving hands the directory on;
// destroying the owner removes the package file, then the directory, ignoring errors (a directory
// into which someone else put a file stays).
class StagedPackage {
 public:
  explicit StagedPackage(std::string directory) noexcept : directory_(std::move(directory)) {}
  StagedPackage(StagedPackage&& other) noexcept : directory_(std::move(other.directory_)) {
    other.directory_.clear();
  }
  StagedPackage& operator=(StagedPackage&& other) noexcept;
  StagedPackage(const StagedPackage&) = delete;
  StagedPackage& operator=(const StagedPackage&) = delete;
  ~StagedPackage() { drop(); }

  const std::string& directory() const noexcept { return directory_; }
  // The directory joined with "velto.deb".
  std::string package_path() const;

 private:
  void drop() noexcept;
  std::string directory_;
};

// The staging directory path for `tmpdir` (the value of TMPDIR, if set) and a UUID text: the base
// unchanged, then "/" unless the base is empty or already ends in "/", then the directory name.
std::string staging_directory_path(const std::optional<std::string>& tmpdir, std::string_view uuid);

// Proves `payload`'s digest, writes it into a new private directory under `tmpdir` and has the
// program at `field_reader` (dpkg-deb, called with -f PATH FIELD) confirm its control fields.
// Nothing when any step fails; in that case nothing it created is left on disk. Throws
// RandomSourceError when the kernel gives no random bytes.
std::optional<StagedPackage> stage_payload(const PackagePayload& payload,
                                           const std::string& field_reader,
                                           const std::optional<std::string>& tmpdir);

}  // namespace velto
