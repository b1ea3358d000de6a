#include "payload/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/command.h"
#include "base/diagnostic_line.h"
#include "base/fd.h"
#include "base/io.h"
#include "base/utf8.h"
#include "payload/digest.h"
#include "payload/field_value.h"
#include "payload/random_uuid.h"

namespace velto {
namespace {

// How much of a field reader's answer a failure keeps to show, in bytes; the shown part ends on
// a character boundary.
constexpr std::size_t kPrintedLimit = 64;

// Runs `reader -f path field` with standard input on /dev/null and reads both of its pipes to the
// end together (so neither can stall the other), keeping at most kFieldOutputLimit bytes.
// Nothing when it exited 0 naming `field.value`, otherwise what it did instead. The reader runs
// isolated from the signals that end this program (see ChildSignals::isolated): dpkg-deb unpacks
// into TMPDIR and would leave that behind if one killed it.
std::optional<StagingFailure> confirm_field(const std::string& reader, const std::string& path,
                                            const ControlField& field,
                                            const EnvironmentOverlay& environment) {
  const Command command{
      reader, {"-f", path, std::string(field.name)}, environment, ChildSignals::isolated};
  const CapturedRun run = command.run_capturing_output(kFieldOutputLimit);
  if (!run.overflowed && run.end.exited_with(0) && field_output_matches(run.output, field.value)) {
    return std::nullopt;
  }
  StagingFailure failure;
  failure.step = StagingFailure::Step::field;
  failure.path = path;
  failure.reader = reader;
  failure.field = field.name;
  failure.expected = field.value;
  failure.reader_end = run.end;
  failure.overflowed = run.overflowed;
  // Past the limit: enough to finish a character that the limit cuts, and to tell that more
  // followed.
  failure.printed = trim_unicode_white_space(run.output).substr(0, kPrintedLimit + 4);
  return failure;
}

}  // namespace

std::string staging_directory_path(const std::optional<std::string>& tmpdir,
                                   std::string_view uuid) {
  std::string path = tmpdir ? *tmpdir : std::string("/tmp");
  if (!path.empty() && path.back() != '/') path += '/';
  path += kStagingPrefix;
  path += uuid;
  return path;
}

void remove_abandoned_stagings(const std::optional<std::string>& tmpdir) noexcept {
  const char* base = !tmpdir ? "/tmp" : tmpdir->empty() ? "." : tmpdir->c_str();
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(base), ::closedir);
  if (!listing) return;
  const int base_fd = ::dirfd(listing.get());
  const uid_t user = ::geteuid();
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(kStagingPrefix) || !is_uuid_v4_text(name.substr(kStagingPrefix.size()))) {
      continue;
    }
    // Never through a link, and only a directory of this user's.
    const Fd directory{
        ::openat(base_fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (!directory || ::fstat(directory.get(), &st) != 0 || st.st_uid != user) continue;
    // A living run holds its directory locked.
    if (::flock(directory.get(), LOCK_EX | LOCK_NB) != 0) continue;
    ::unlinkat(directory.get(), kStagedFileName.data(), 0);  // a literal, so terminated
    ::unlinkat(base_fd, entry->d_name, AT_REMOVEDIR);
  }
}

StagingOutcome stage_payload(const PackagePayload& payload, const std::string& field_reader,
                             const std::optional<std::string>& tmpdir,
                             const EnvironmentOverlay& reader_environment) {
  using Step = StagingFailure::Step;
  // Prove the bytes before anything is created.
  const auto digest = sha256_hex(payload.bytes);
  // The path is taken by reference, so nothing that could touch errno runs between the failing
  // call and the read of errno in the arguments.
  const auto failed = [&](Step step, const std::string& concerned = {}, int error = 0) {
    StagingFailure failure;
    failure.step = step;
    failure.base = tmpdir;
    failure.path = concerned;
    failure.error = error;
    return failure;
  };
  if (!digest || digest->size() != 64 || *digest != payload.digest ||
      payload.bytes.size() != payload.size) {
    return failed(Step::digest);
  }

  const std::string directory = staging_directory_path(tmpdir, random_uuid_v4());
  const std::string path = directory + "/" + std::string(kStagedFileName);
  // Made and registered in one step, so that no signal can find it made but unknown; from here on,
  // failures remove it all. An existing directory is never reused, and a missing parent is not
  // made.
  StagedPackage staged = StagedPackage::make(directory, path);
  if (!staged) return failed(Step::directory, directory, staged.error());
  // An entry of that name that is already there, a symbolic link included, makes this fail.
  Fd file{staged.open_file(O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
  if (!file) return failed(Step::file, path, errno);
  errno = 0;
  if (!write_all(file.get(), payload.bytes.data(), payload.bytes.size())) {
    return failed(Step::write, path, errno);
  }
  if (retry_on_eintr([&] { return ::fsync(file.get()); }) != 0) {
    return failed(Step::sync, path, errno);
  }

  // The descriptor stays open while the fields are read; it is close-on-exec, so the reader does
  // not inherit it.
  for (const ControlField& field : payload.fields) {
    if (auto failure = confirm_field(field_reader, path, field, reader_environment)) {
      failure->base = tmpdir;
      return std::move(*failure);
    }
  }
  file.reset();
  return staged;
}

DiagnosticLine describe(const StagingFailure& failure) {
  using Step = StagingFailure::Step;
  const auto error_text = [&] {
    if (failure.error == 0) return std::string("nothing was written");
    const char* text = ::strerrordesc_np(failure.error);
    return text != nullptr ? std::string(text) : "error " + std::to_string(failure.error);
  };
  DiagnosticLine line;
  switch (failure.step) {
    case Step::digest:
      return line.words(
          "the carried package does not match its SHA-256 digest and size (the program file "
          "is damaged)");
    case Step::directory:
      line.words("could not create the staging directory ").quoted(failure.path).words(" under ");
      if (failure.base) {
        line.words("TMPDIR ").quoted(*failure.base);
      } else {
        line.words("/tmp (TMPDIR is not set)");
      }
      return line.words(": ").words(error_text());
    case Step::file:
      return line.words("could not create the package file ")
          .quoted(failure.path)
          .words(": ")
          .words(error_text());
    case Step::write:
      return line.words("could not write the package file ")
          .quoted(failure.path)
          .words(": ")
          .words(error_text());
    case Step::sync:
      return line.words("could not flush the package file ")
          .quoted(failure.path)
          .words(" to storage: ")
          .words(error_text());
    case Step::field:
      break;
  }
  line.value(failure.reader).words(" -f ").quoted(failure.path).words(" ").words(failure.field);
  line.words(" ");
  if (failure.overflowed) {
    return line.words("printed more than " + std::to_string(kFieldOutputLimit) +
                      " bytes and was stopped");
  }
  if (!failure.reader_end.exited_with(0)) return line.words(describe_end(failure.reader_end));
  line.words("printed ").quoted(utf8_prefix(failure.printed, kPrintedLimit));
  if (failure.printed.size() > kPrintedLimit) line.words("...");
  return line.words(" where ").quoted(failure.expected).words(" was expected");
}

}  // namespace velto
