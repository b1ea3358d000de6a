#include "payload/staging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "payload/digest.h"
#include "payload/interrupt_cleanup.h"
#include "temp_dir.h"

namespace velto {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;

std::vector<fs::path> entries(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) found.push_back(entry.path());
  return found;
}

// A payload over test bytes whose field reader is a shell script written per test.
class StagingTest : public ::testing::Test {
 protected:
  StagingTest() : bytes_(make_bytes()) {
    base_ = (tmp_.path() / "base").string();
    fs::create_directory(base_);
    log_ = (tmp_.path() / "reader.log").string();
    digest_ = *sha256_hex(bytes_);
  }

  static std::vector<unsigned char> make_bytes() {
    std::vector<unsigned char> bytes(300000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    return bytes;
  }

  PackagePayload payload() const {
    return PackagePayload{
        bytes_,
        digest_,
        bytes_.size(),
        {{{"Package", "velto"}, {"Version", "0.1.80"}, {"Architecture", "amd64"}}}};
  }

  // A field reader that logs its arguments, then runs `body` with the field name in $3.
  std::string reader(const std::string& body) const {
    return tmp_.write_file(
        "reader",
        "#!/bin/sh\nprintf '%s|' \"$@\" >> '" + log_ + "'\necho >> '" + log_ + "'\n" + body + "\n",
        0755);
  }

  // Answers each field with its expected value followed by a line feed.
  std::string good_reader() const {
    return reader(
        "case $3 in Package) echo velto;; Version) echo 0.1.80;; Architecture) echo amd64;; esac");
  }

  std::string log() const { return fs::exists(log_) ? read_file(log_) : std::string(); }

  TempDir tmp_;
  std::vector<unsigned char> bytes_;
  std::string digest_;
  std::string base_;
  std::string log_;
};

TEST_F(StagingTest, StagesProvenBytesInAPrivateDirectoryAndDropRemovesThem) {
  const mode_t old_mask = ::umask(0);
  auto staged = stage_payload(payload(), good_reader(), base_);
  ::umask(old_mask);
  ASSERT_TRUE(staged.has_value());

  const fs::path dir = staged->directory();
  EXPECT_EQ(dir.parent_path(), fs::path(base_));
  EXPECT_TRUE(std::regex_match(
      dir.filename().string(),
      std::regex(
          "velto-installer-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
  EXPECT_EQ(staged->package_path(), dir.string() + "/velto.deb");

  struct stat info {};
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(staged->package_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(read_file(staged->package_path()), std::string(bytes_.begin(), bytes_.end()));

  const std::string path = staged->package_path();
  EXPECT_EQ(log(),
            "-f|" + path + "|Package|\n-f|" + path + "|Version|\n-f|" + path + "|Architecture|\n");

  staged.reset();
  EXPECT_TRUE(entries(base_).empty());
}

TEST_F(StagingTest, AnyDamagedByteFailsBeforeAnythingIsCreated) {
  for (const std::size_t at : {std::size_t{0}, bytes_.size() / 2, bytes_.size() - 1}) {
    SCOPED_TRACE(at);
    bytes_[at] ^= 0x01;
    EXPECT_FALSE(stage_payload(payload(), good_reader(), base_).has_value());
    bytes_[at] ^= 0x01;
  }
  EXPECT_TRUE(entries(base_).empty());
  EXPECT_EQ(log(), "");
}

TEST_F(StagingTest, DigestTextMustMatchExactly) {
  const std::string upper = [&] {
    std::string text = digest_;
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }();
  for (const std::string& wrong : {upper, digest_.substr(0, 63), digest_ + "0", std::string()}) {
    PackagePayload bad = payload();
    bad.digest = wrong;
    EXPECT_FALSE(stage_payload(bad, good_reader(), base_).has_value());
  }
  EXPECT_TRUE(entries(base_).empty());
  EXPECT_EQ(log(), "");
}

TEST_F(StagingTest, AMissingOrUnusableBaseCreatesNothing) {
  EXPECT_FALSE(stage_payload(payload(), good_reader(), base_ + "/missing").has_value());
  const std::string file = tmp_.write_file("plain-file", "x");
  EXPECT_FALSE(stage_payload(payload(), good_reader(), file).has_value());
  if (::geteuid() != 0) {
    ::chmod(base_.c_str(), 0500);
    EXPECT_FALSE(stage_payload(payload(), good_reader(), base_).has_value());
    ::chmod(base_.c_str(), 0700);
  }
  // Too long to keep for the signal handler, which is said as such.
  const auto too_long =
      stage_payload(payload(), good_reader(), base_ + "/" + std::string(4096, 'x'));
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.failure()->error, ENAMETOOLONG);
  EXPECT_TRUE(entries(base_).empty());
  EXPECT_EQ(log(), "");
}

TEST_F(StagingTest, TrailingSlashAndEmptyOrRelativeBases) {
  auto slashed = stage_payload(payload(), good_reader(), base_ + "/");
  ASSERT_TRUE(slashed.has_value());
  EXPECT_EQ(slashed->directory().find("//"), std::string::npos);
  EXPECT_EQ(fs::path(slashed->directory()).parent_path(), fs::path(base_));
  slashed.reset();

  const fs::path old_cwd = fs::current_path();
  fs::current_path(base_);
  fs::create_directory("rel");
  // One at a time: a process stages one package at a time.
  auto empty = stage_payload(payload(), good_reader(), std::string());
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->directory().rfind("velto-installer-", 0), 0u);
  // The field reader is handed the relative path as it stands.
  EXPECT_NE(log().find("-f|" + empty->package_path() + "|Package|"), std::string::npos);
  EXPECT_TRUE(fs::exists(empty->package_path()));
  empty.reset();
  auto relative = stage_payload(payload(), good_reader(), std::string("rel"));
  ASSERT_TRUE(relative.has_value());
  EXPECT_EQ(relative->directory().rfind("rel/velto-installer-", 0), 0u);
  relative.reset();
  EXPECT_EQ(entries(".").size(), 1u);  // only "rel" remains
  EXPECT_TRUE(entries("rel").empty());
  fs::current_path(old_cwd);
}

TEST(StagingPathTest, JoinsBaseAndNameAsPathComponents) {
  const std::string uuid = "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";
  EXPECT_EQ(staging_directory_path(std::nullopt, uuid), "/tmp/velto-installer-" + uuid);
  EXPECT_EQ(staging_directory_path(std::string("/var/x"), uuid), "/var/x/velto-installer-" + uuid);
  EXPECT_EQ(staging_directory_path(std::string("/var/x/"), uuid), "/var/x/velto-installer-" + uuid);
  EXPECT_EQ(staging_directory_path(std::string(""), uuid), "velto-installer-" + uuid);
  EXPECT_EQ(staging_directory_path(std::string("a/b"), uuid), "a/b/velto-installer-" + uuid);
  EXPECT_EQ(staging_directory_path(std::string("/"), uuid), "/velto-installer-" + uuid);
}

struct ReaderCase {
  const char* name;
  const char* package_answer;  // shell text that prints the answer to "Package"
  bool accepted;
};

void PrintTo(const ReaderCase& reader_case, std::ostream* out) { *out << reader_case.name; }

class FieldReaderOutput : public StagingTest, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(FieldReaderOutput, IsTrimmedOfUnicodeWhiteSpaceAndComparedExactly) {
  const std::string body = std::string("case $3 in Package) ") + GetParam().package_answer +
                           ";; Version) echo 0.1.80;; Architecture) echo amd64;; esac";
  auto staged = stage_payload(payload(), reader(body), base_);
  EXPECT_EQ(staged.has_value(), GetParam().accepted);
  staged.reset();
  EXPECT_TRUE(entries(base_).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FieldReaderOutput,
    ::testing::Values(
        ReaderCase{"line_feed", "echo velto", true},
        ReaderCase{"spaces_around", "printf '  velto  \\n'", true},
        ReaderCase{"crlf", "printf 'velto\\r\\n'", true},
        ReaderCase{"no_newline", "printf velto", true},
        ReaderCase{"unicode_spaces", "printf '\\302\\240\\343\\200\\200velto\\342\\200\\250'",
                   true},
        ReaderCase{"capitalised", "echo Velto", false},
        ReaderCase{"second_line", "printf 'velto\\nsecond\\n'", false},
        ReaderCase{"invalid_utf8", "printf 'velto\\377\\n'", false},
        ReaderCase{"zero_width_space_is_not_white", "printf 'velto\\342\\200\\213'", false},
        ReaderCase{"empty", "true", false}, ReaderCase{"exit_2", "echo velto; exit 2", false},
        ReaderCase{"killed", "echo velto; kill -9 $$", false},
        // Far more than a pipe holds on either stream: both must be drained together.
        ReaderCase{"floods_stderr", "head -c 300000 /dev/zero | tr '\\0' x >&2; echo velto", true},
        ReaderCase{"padded_with_64_KiB_each_side",
                   "head -c 65536 /dev/zero | tr '\\0' ' '; echo velto; "
                   "head -c 65536 /dev/zero | tr '\\0' '\\n'",
                   true},
        // Past the limit the answer is a mismatch, however it would have ended.
        ReaderCase{"floods_stdout", "head -c 3000000 /dev/zero | tr '\\0' ' '; echo velto", false},
        // 1048576 bytes in all, then one more.
        ReaderCase{"at_the_limit", "head -c 1048570 /dev/zero | tr '\\0' ' '; echo velto", true},
        ReaderCase{"one_past_the_limit", "head -c 1048571 /dev/zero | tr '\\0' ' '; echo velto",
                   false},
        ReaderCase{"prints_without_end", "exec yes velto", false}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(StagingTest, AFailureSaysWhichStepFailedAndHow) {
  const auto reason = [&](const PackagePayload& staged_payload, const std::string& reader_path,
                          const std::string& base) {
    const StagingOutcome outcome = stage_payload(staged_payload, reader_path, base);
    EXPECT_FALSE(outcome.has_value());
    return outcome.failure() != nullptr ? describe(*outcome.failure()).text() : "(none)";
  };
  PackagePayload damaged = payload();
  damaged.size += 1;
  EXPECT_EQ(reason(damaged, good_reader(), base_),
            "the carried package does not match its SHA-256 digest and size (the program file is "
            "damaged)");
  EXPECT_TRUE(reason(payload(), good_reader(), base_ + "/missing")
                  .ends_with("under TMPDIR \"" + base_ + "/missing\": No such file or directory"));

  const auto answering = [&](const std::string& version_answer) {
    return reader("case $3 in Package) echo velto;; Version) " + version_answer + ";; esac");
  };
  const std::string wrong = reason(payload(), answering("printf '  0.1.79\\t\\033[2J\\n'"), base_);
  EXPECT_NE(wrong.find(" Version printed \"0.1.79\\x09\\x1b[2J\" where \"0.1.80\" was expected"),
            std::string::npos)
      << "trimmed, and escaped so it cannot drive the terminal: " << wrong;
  // 64 bytes are shown, fewer when the limit would cut a character: the two-byte one that
  // straddles it is left out whole.
  const std::string cut = reason(payload(), answering("printf '%063d\\303\\251 more' 0"), base_);
  EXPECT_NE(cut.find(" Version printed \"" + std::string(63, '0') + "\"... where"),
            std::string::npos)
      << cut;
  // Exactly 64 bytes are shown whole; of 65, the last is left out and marked.
  for (const auto& [digits, after] :
       {std::pair{"64", "\" where"}, std::pair{"65", "\"... where"}}) {
    const std::string shown =
        reason(payload(), answering("printf '%0" + std::string(digits) + "d' 0"), base_);
    EXPECT_NE(shown.find(" Version printed \"" + std::string(64, '0') + after), std::string::npos)
        << shown;
  }
  EXPECT_TRUE(
      reason(payload(), answering("exit 2"), base_).ends_with(" Version ended with exit status 2"));
  EXPECT_TRUE(reason(payload(), answering("exec yes"), base_)
                  .ends_with(" Version printed more than 1048576 bytes and was stopped"));
  EXPECT_TRUE(reason(payload(), (tmp_.path() / "missing-reader").string(), base_)
                  .ends_with(" Package could not be run: No such file or directory"));
  EXPECT_TRUE(entries(base_).empty());
}

TEST_F(StagingTest, TheFirstWrongFieldEndsTheConfirmation) {
  const std::string body =
      "case $3 in Package) echo velto;; Version) echo 0.1.79;; Architecture) echo amd64;; esac";
  EXPECT_FALSE(stage_payload(payload(), reader(body), base_).has_value());
  EXPECT_NE(log().find("|Version|"), std::string::npos);
  EXPECT_EQ(log().find("|Architecture|"), std::string::npos);
  EXPECT_TRUE(entries(base_).empty());
}

TEST_F(StagingTest, AMissingOrUnrunnableReaderFailsAndLeavesNothing) {
  EXPECT_FALSE(stage_payload(payload(), (tmp_.path() / "no-such-reader").string(), base_));
  const std::string not_executable = tmp_.write_file("plain", "#!/bin/sh\necho velto\n", 0644);
  EXPECT_FALSE(stage_payload(payload(), not_executable, base_));
  EXPECT_TRUE(entries(base_).empty());
}

// A start removes what runs that are gone left in the base, as a drop would: only directories of
// staging's own name, of this user, through no link, and not the one a living run holds.
TEST_F(StagingTest, AStartRemovesWhatRunsThatAreGoneLeftAndNothingElse) {
  auto living = stage_payload(payload(), good_reader(), base_);
  ASSERT_TRUE(living.has_value());
  const fs::path base = base_;
  const auto left = [&](const std::string& uuid, bool with_package) {
    const fs::path dir = base / ("velto-installer-" + uuid);
    fs::create_directory(dir);
    if (with_package) std::ofstream(dir / "velto.deb") << "left";
    return dir;
  };
  const fs::path gone = left("0e3e1d1c-9a0c-4b5e-8f6a-1c2d3e4f5a6b", true);
  const fs::path emptied = left("1e3e1d1c-9a0c-4b5e-9f6a-1c2d3e4f5a6b", false);
  const fs::path foreign = left("2e3e1d1c-9a0c-4b5e-af6a-1c2d3e4f5a6b", true);
  std::ofstream(foreign / "someone-elses") << "kept";
  // Names of another shape: another UUID version, capitals, a suffix.
  const fs::path other_version = left("3e3e1d1c-9a0c-1b5e-bf6a-1c2d3e4f5a6b", true);
  const fs::path capitals = left("4E3E1D1C-9A0C-4B5E-8F6A-1C2D3E4F5A6B", true);
  const fs::path suffixed = left("5e3e1d1c-9a0c-4b5e-8f6a-1c2d3e4f5a6b.old", true);
  const fs::path target = left("elsewhere", true);
  const fs::path link = base / "velto-installer-6e3e1d1c-9a0c-4b5e-8f6a-1c2d3e4f5a6b";
  fs::create_directory_symlink(target, link);
  std::vector<fs::path> kept{foreign, other_version, capitals,           suffixed,
                             target,  link,          living->directory()};
  if (::geteuid() == 0) {
    const fs::path others = left("7e3e1d1c-9a0c-4b5e-8f6a-1c2d3e4f5a6b", true);
    ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
    kept.push_back(others);
  }

  remove_abandoned_stagings(base_);
  EXPECT_FALSE(fs::exists(gone));
  EXPECT_FALSE(fs::exists(emptied));
  std::vector<fs::path> found = entries(base);
  std::sort(found.begin(), found.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(found, kept);
  EXPECT_EQ(entries(foreign), std::vector<fs::path>{foreign / "someone-elses"});
  EXPECT_TRUE(fs::exists(target / "velto.deb"));
  EXPECT_TRUE(fs::exists(living->package_path()));
}

}  // namespace
}  // namespace velto
