#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/command.h"
#include "base/diagnostic_line.h"
#include "payload/package_payload.h"
#include "payload/staged_package.h"

namespace velto {

inline constexpr std::string_view kStagedFileName = "velto.deb";
inline constexpr std::string_view kStagingPrefix = "velto-installer-";

// The most a field reader may print. A real dpkg-deb prints a field's value and a line feed; this
// leaves room for a value padded with far more than 64 KiB of white space, and keeps a reader
// that prints without end from costing memory without end. Past it, the answer is a mismatch.
inline constexpr std::size_t kFieldOutputLimit = 1024 * 1024;

// Why staging did not succeed: a value for the caller to report. Staging itself prints nothing.
struct StagingFailure {
  enum class Step {
    digest,     // the carried bytes do not prove against the expected digest and size
    directory,  // the staging directory could not be made under the base
    file,       // the package file could not be created
    write,      // writing the package failed
    sync,       // flushing it to storage failed
    field,      // the field reader did not confirm a control field
  };
  Step step = Step::digest;
  std::optional<std::string> base;  // TMPDIR as staging read it; unset: "/tmp"
  std::string path;                 // the directory or file concerned
  int error = 0;                    // errno of a file-system step (0: a write of 0 bytes)
  // The field step: the reader, which field, how the reader ended and what it printed, trimmed of
  // white space.
  std::string reader;
  std::string field;
  std::string expected;
  ChildEnd reader_end = ChildEnd::not_run();
  bool overflowed = false;
  std::string printed;
};

// One line of text, in English, saying what went wrong; for the program's standard error only.
DiagnosticLine describe(const StagingFailure& failure);

// A StagedPackage, or the reason why there is none. Reads like std::optional<StagedPackage>.
class StagingOutcome {
 public:
  StagingOutcome(StagedPackage staged) noexcept : staged_(std::move(staged)) {}
  StagingOutcome(StagingFailure failure) noexcept : failure_(std::move(failure)) {}

  bool has_value() const noexcept { return staged_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  StagedPackage& operator*() noexcept { return *staged_; }
  const StagedPackage& operator*() const noexcept { return *staged_; }
  StagedPackage* operator->() noexcept { return &*staged_; }
  const StagedPackage* operator->() const noexcept { return &*staged_; }
  // Drops the staged package, if any, which removes it.
  void reset() noexcept { staged_.reset(); }
  // The reason; null after a success.
  const StagingFailure* failure() const noexcept { return failure_ ? &*failure_ : nullptr; }

 private:
  std::optional<StagedPackage> staged_;
  std::optional<StagingFailure> failure_;
};

// The staging directory path for `tmpdir` (the value of TMPDIR, if set) and a UUID text: the base
// unchanged, then "/" unless the base is empty or already ends in "/", then the directory name.
std::string staging_directory_path(const std::optional<std::string>& tmpdir, std::string_view uuid);

// Removes from the staging base for `tmpdir` (as stage_payload() reads it) what runs of this
// program that are gone left there: each directory of staging's own name, owned by this user and
// locked by no living run, loses its package file and is removed, as a dropped StagedPackage is,
// so that one holding anything else stays. It follows no symbolic link, and leaves every other
// name, another user's entries and a living run's directory alone. Reports nothing.
void remove_abandoned_stagings(const std::optional<std::string>& tmpdir) noexcept;

// Proves `payload`'s digest, writes it into a new private directory under `tmpdir` and has the
// program at `field_reader` (dpkg-deb, called with -f PATH FIELD, its environment this process's
// with `reader_environment` on top) confirm its control fields. When any step fails, the reason,
// and nothing it created is left on disk. One staging at a time per process: the staged directory
// is removed on TERM, INT or HUP too (see staged_package.h). Throws
// RandomSourceError when the kernel gives no random bytes.
StagingOutcome stage_payload(const PackagePayload& payload, const std::string& field_reader,
                             const std::optional<std::string>& tmpdir,
                             const EnvironmentOverlay& reader_environment = {});

}  // namespace velto
