#include "install/install_sequence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>

#include "payload/random_uuid.h"
#include "sequence_fixture.h"

namespace velto::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// The fakes' log must show each program ending before the next one starts.
void expect_one_at_a_time(const Strings& calls) {
  ASSERT_EQ(calls.size() % 2, 0u) << ::testing::PrintToString(calls);
  for (std::size_t i = 0; i < calls.size(); i += 2) {
    ASSERT_EQ(calls[i].rfind("start ", 0), 0u) << ::testing::PrintToString(calls);
    EXPECT_EQ(calls[i + 1], "end " + calls[i].substr(6)) << ::testing::PrintToString(calls);
  }
}

// What /usr/bin/velto-desktop is in a row of the table.
enum class Launcher { absent, regular, link_to_regular, directory, dangling_link, not_executable };

struct Row {
  const char* name;
  Launcher launcher;
  const char* preflight;  // the fake's action; null: the program is missing
  const char* install;
  const char* restart;
  const char* expected;  // the Report's key; null: Completed
  Strings started;
  // How the line on standard error about pkexec ends, when it says what its status means.
  const char* meaning = nullptr;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class MappingTest : public SequenceTest, public ::testing::WithParamInterface<Row> {
 protected:
  void place(const char* name, const char* action) {
    if (action != nullptr) fake(name, action);
  }
  void place_launcher(Launcher launcher, const char* action) {
    const fs::path path = bin() / "velto-desktop";
    switch (launcher) {
      case Launcher::absent:
        break;
      case Launcher::regular:
        fake("velto-desktop", action);
        break;
      case Launcher::link_to_regular:
        // The fake names its action file after the path it was started by: the link's.
        fake("velto-desktop.real");
        std::ofstream(bin() / "velto-desktop.action") << action << "\n";
        fs::create_symlink(bin() / "velto-desktop.real", path);
        break;
      case Launcher::directory:
        fs::create_directory(path);
        break;
      case Launcher::dangling_link:
        fs::create_symlink(bin() / "nowhere", path);
        break;
      case Launcher::not_executable:
        fake("velto-desktop", action);
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        break;
    }
  }
};

TEST_P(MappingTest, OutcomeAndChildren) {
  const Row& row = GetParam();
  place("python3", row.preflight);
  place("pkexec", row.install);
  place_launcher(row.launcher, row.restart);

  ::testing::internal::CaptureStderr();
  const Received received = run();
  const std::string written = ::testing::internal::GetCapturedStderr();

  // Only the text that sends the user to a terminal for details comes with lines there.
  const bool sent_to_terminal =
      row.expected != nullptr && std::string_view(row.expected) == outcome_key::kFailed;
  EXPECT_EQ(!written.empty(), sent_to_terminal) << written;
  if (row.meaning != nullptr) {
    EXPECT_EQ(written.substr(0, written.find('\n')),
              "velto-linux-setup: " + (bin() / "pkexec").string() + " ended with exit status " +
                  std::string(row.install).substr(5) + " (" + row.meaning + ")");
  }
  const std::string expected =
      row.expected == nullptr ? "Completed" : std::string("Report ") + row.expected;
  EXPECT_EQ(describe(received), expected);
  EXPECT_EQ(started(), row.started);
  expect_one_at_a_time(calls());
  EXPECT_EQ(leftovers(), Strings{}) << "the staged package outlived the run";
}

using enum Launcher;
namespace key = outcome_key;
const Strings kAll{"python3", "pkexec", "velto-desktop"};
const Strings kPreflightOnly{"python3"};
const Strings kInstallOnly{"pkexec"};

INSTANTIATE_TEST_SUITE_P(
    Table, MappingTest,
    ::testing::Values(
        // Desktop check: only a regular file, links followed, counts as an installed application.
        Row{"PresentEverythingSucceeds", regular, "exit 0", "exit 0", "exit 0", nullptr, kAll},
        Row{"LinkToRegularFileCountsAsPresent", link_to_regular, "exit 0", "exit 0", "exit 0",
            nullptr, kAll},
        Row{"AbsentSkipsPreflight", absent, "exit 0", "exit 0", nullptr, key::kRestartFailed,
            kInstallOnly},
        Row{"DirectoryCountsAsAbsent", directory, "exit 0", "exit 0", nullptr, key::kRestartFailed,
            kInstallOnly},
        Row{"DanglingLinkCountsAsAbsent", dangling_link, "exit 0", "exit 0", nullptr,
            key::kRestartFailed, kInstallOnly},
        Row{"NotExecutableStillPresentButCannotRestart", not_executable, "exit 0", "exit 0",
            "exit 0", key::kRestartFailed, Strings{"python3", "pkexec"}},
        // Preflight.
        Row{"Preflight20IsLegacy", regular, "exit 20", "exit 0", "exit 0", key::kPrepareLegacy,
            kPreflightOnly},
        Row{"Preflight21IsBusy", regular, "exit 21", "exit 0", "exit 0", key::kPrepareBusy,
            kPreflightOnly},
        Row{"Preflight22Failed", regular, "exit 22", "exit 0", "exit 0", key::kPrepareFailed,
            kPreflightOnly},
        Row{"Preflight1Failed", regular, "exit 1", "exit 0", "exit 0", key::kPrepareFailed,
            kPreflightOnly},
        Row{"Preflight255Failed", regular, "exit 255", "exit 0", "exit 0", key::kPrepareFailed,
            kPreflightOnly},
        Row{"PreflightKilledFailed", regular, "signal 9", "exit 0", "exit 0", key::kPrepareFailed,
            kPreflightOnly},
        Row{"PreflightTerminatedFailed", regular, "signal 15", "exit 0", "exit 0",
            key::kPrepareFailed, kPreflightOnly},
        Row{"PythonMissingFailedWithoutPkexec", regular, nullptr, "exit 0", "exit 0",
            key::kPrepareFailed, Strings{}},
        // Privileged install: any failure gets one recovery restart whose result is ignored.
        // The line about pkexec says what each status of the root script means.
        Row{"Install1RecoveryRestartIgnored", regular, "exit 0", "exit 1", "exit 0", key::kFailed,
            kAll,
            "the install script refused: not running as root, no work directory under /var/tmp, "
            "or the copy's size or digest differs"},
        Row{"Install2RecoveryRestartIgnored", regular, "exit 0", "exit 2", "exit 0", key::kFailed,
            kAll, "the install script was given arguments of the wrong form"},
        Row{"Install124CopyTimedOut", regular, "exit 0", "exit 124", "exit 0", key::kFailed, kAll,
            "copying the staged package took longer than 30 seconds"},
        Row{"Install125CommandFailed", regular, "exit 0", "exit 125", "exit 0", key::kFailed, kAll,
            "a command of the install script failed"},
        Row{"Install126Dismissed", regular, "exit 0", "exit 126", "exit 0", key::kFailed, kAll,
            "the administrator refused or cancelled"},
        Row{"Install127NotAuthorised", regular, "exit 0", "exit 127", "exit 0", key::kFailed, kAll,
            "not authorised, or pkexec could not run the install script"},
        Row{"Install130Interrupted", regular, "exit 0", "exit 130", "exit 0", key::kFailed, kAll,
            "the install script was interrupted by a signal"},
        Row{"InstallKilled", regular, "exit 0", "signal 9", "exit 0", key::kFailed, kAll},
        Row{"InstallFailedRecoveryBusyIgnored", regular, "exit 0", "exit 100", "exit 21",
            key::kFailed, kAll,
            "apt-get failed; /var/log/apt/term.log has dpkg's messages only when dpkg ran"},
        Row{"InstallFailedRecoveryKilledIgnored", regular, "exit 0", "exit 1", "signal 9",
            key::kFailed, kAll},
        Row{"PkexecMissingStillRestarts", regular, "exit 0", nullptr, "exit 0", key::kFailed,
            Strings{"python3", "velto-desktop"}},
        Row{"AbsentAndInstallFailedStillTriesRestart", absent, "exit 0", "exit 1", nullptr,
            key::kFailed, kInstallOnly},
        // Restart.
        Row{"Restart20IsLegacy", regular, "exit 0", "exit 0", "exit 20", key::kRestartLegacy, kAll},
        Row{"Restart21IsBusy", regular, "exit 0", "exit 0", "exit 21", key::kRestartBusy, kAll},
        Row{"Restart22Failed", regular, "exit 0", "exit 0", "exit 22", key::kRestartFailed, kAll},
        Row{"Restart3Failed", regular, "exit 0", "exit 0", "exit 3", key::kRestartFailed, kAll},
        Row{"RestartKilledFailed", regular, "exit 0", "exit 0", "signal 9", key::kRestartFailed,
            kAll},
        // Children are waited for however long they take.
        Row{"SlowChildrenAreWaitedFor", regular, "sleep 150 exit 0", "sleep 150 exit 0",
            "sleep 150 exit 0", nullptr, kAll}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

TEST_F(SequenceTest, CommandLinesAndWhatEachChildIsGiven) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  ::setenv("VELTO_TEST_MARK", "inherited", 1);
  const InstallPlan install_plan = plan();
  const Received received = run(install_plan);
  ::unsetenv("VELTO_TEST_MARK");
  ASSERT_EQ(describe(received), "Completed");

  const std::string python = (bin() / "python3").string();
  const std::string pkexec = (bin() / "pkexec").string();
  const std::string desktop = (bin() / "velto-desktop").string();
  EXPECT_EQ(argv_of("python3"), (Strings{python, "-c", install_plan.preflight_script}));
  EXPECT_EQ(argv_of("velto-desktop"), (Strings{desktop, "--restart-after-install"}));

  const Strings install = argv_of("pkexec");
  ASSERT_EQ(install.size(), 8u);
  EXPECT_EQ(install[0], pkexec);
  EXPECT_EQ(install[1], "/bin/sh");
  EXPECT_EQ(install[2], "-c");
  EXPECT_EQ(install[3], install_plan.install_script);
  EXPECT_EQ(install[4], "velto-verified-installer");
  const std::string prefix = staging_base().string() + "/velto-installer-";
  EXPECT_EQ(install[5].rfind(prefix, 0), 0u) << install[5];
  EXPECT_EQ(install[5].size(), prefix.size() + 36 + std::string("/velto.deb").size());
  EXPECT_TRUE(install[5].ends_with("/velto.deb")) << install[5];
  EXPECT_EQ(install[6], payload().digest);
  EXPECT_EQ(install[7], std::to_string(payload().size));

  const std::string cwd = fs::current_path().string();
  for (const char* name : {"python3", "pkexec", "velto-desktop"}) {
    const std::string info = info_of(name);
    SCOPED_TRACE(name);
    // What the installation prints is read, from one pipe for both streams, to say why it failed.
    const auto stream = [&](const std::string& which) {
      const std::size_t at = info.find(which + " ") + which.size() + 1;
      return info.substr(at, info.find('\n', at) - at);
    };
    EXPECT_EQ(stream("stdin"), "/dev/null");
    EXPECT_EQ(stream("stdout").substr(0, 5),
              std::string_view(name) == "pkexec" ? "pipe:" : "/dev/");
    EXPECT_EQ(stream("stderr"), stream("stdout"));
    EXPECT_NE(info.find("cwd " + cwd + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("fds\n"), std::string::npos) << "descriptors leaked: " << info;
    EXPECT_NE(info.find("env VELTO_TEST_MARK inherited\n"), std::string::npos) << info;
  }
  // While pkexec ran, the package it was named lay there in full.
  EXPECT_NE(info_of("pkexec").find("arg5 regular " + std::to_string(payload().size) + "\n"),
            std::string::npos)
      << info_of("pkexec");
}

TEST_F(SequenceTest, EachChildGetsTheEnvironmentOfItsStartWithTheOverlayOnTop) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  fake("dpkg-deb", "fields");
  ::setenv("DESKTOP_STARTUP_ID", "spent-id", 1);
  InstallPlan install_plan = plan();
  install_plan.child_environment = {"LANG=tr_TR.\xff"};
  install_plan.stage = [reader = (bin() / "dpkg-deb").string(), base = staging_base().string(),
                        overlay = install_plan.child_environment] {
    return stage_payload(payload(), reader, base, overlay);
  };
  // What GTK does once it has used the start-up id, after the plan was made.
  ::unsetenv("DESKTOP_STARTUP_ID");
  ::setenv("VELTO_TEST_MARK", "set-after-the-plan", 1);
  const Received received = run(install_plan);
  ::unsetenv("VELTO_TEST_MARK");
  ASSERT_EQ(describe(received), "Completed");
  for (const char* name : {"dpkg-deb", "python3", "pkexec", "velto-desktop"}) {
    EXPECT_NE(info_of(name).find("env VELTO_TEST_MARK set-after-the-plan\n"
                                 "env LANG tr_TR.\xff\n"
                                 "env DESKTOP_STARTUP_ID (unset)\n"),
              std::string::npos)
        << name << ": " << info_of(name);
  }
}

TEST_F(SequenceTest, DamagedPayloadStartsNothingAndLeavesNothing) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  for (const std::size_t at : {std::size_t{0}, payload().size / 2, payload().size - 1}) {
    SCOPED_TRACE(at);
    std::vector<unsigned char> damaged(payload().bytes.begin(), payload().bytes.end());
    damaged[at] ^= 0x01;
    PackagePayload bad = payload();
    bad.bytes = damaged;
    InstallPlan install_plan = plan();
    install_plan.stage = [&bad, base = staging_base().string()] {
      return stage_payload(bad, "/usr/bin/dpkg-deb", base);
    };
    EXPECT_EQ(describe(run(install_plan)), std::string("Report ") + outcome_key::kFailed);
    EXPECT_EQ(started(), Strings{});
    EXPECT_EQ(leftovers(), Strings{});
  }
}

TEST_F(SequenceTest, StagedPackageIsGoneOnceTheOutcomeIsKnown) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop", "exit 21");
  // run_install_sequence sends only what this returns, so nothing can be sent earlier.
  const ProgressEvent outcome = run_install_steps(plan()).event;
  EXPECT_EQ(outcome, ProgressEvent::report(outcome_key::kRestartBusy));
  const fs::path staged = argv_of("pkexec").at(5);
  EXPECT_FALSE(fs::exists(staged));
  EXPECT_FALSE(fs::exists(staged.parent_path()));
  EXPECT_EQ(leftovers(), Strings{});
}

TEST_F(SequenceTest, AReceiverGoneBeforeTheSendDoesNotStopTheRun) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  auto [sender, receiver] = make_progress_channel();
  { ProgressReceiver gone = std::move(receiver); }
  run_install_sequence(plan(), std::move(sender));
  EXPECT_EQ(started(), kAll);
  EXPECT_EQ(leftovers(), Strings{});
}

// Changes the working directory for one scope.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& path) : saved_(fs::current_path()) {
    fs::current_path(path);
  }
  ~WorkingDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(SequenceTest, RelativeStagingPathReachesTheRootScriptAbsolute) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  fake("dpkg-deb", "fields");
  const fs::path work = dir_.path() / "work";
  fs::create_directories(work / "rel");
  const WorkingDirectory inside(work);
  // An empty TMPDIR stages in the working directory; a relative one below it.
  for (const std::string tmpdir : {"", "rel", "rel/"}) {
    SCOPED_TRACE("TMPDIR=" + tmpdir);
    forget_calls();
    InstallPlan install_plan = plan();
    install_plan.stage = [tmpdir, reader = (bin() / "dpkg-deb").string()] {
      return stage_payload(payload(), reader, tmpdir);
    };
    ASSERT_EQ(describe(run(install_plan)), "Completed");

    const Strings install = argv_of("pkexec");
    ASSERT_EQ(install.size(), 8u);
    // Staging and dpkg-deb keep the relative path; only the root script sees it absolute.
    const std::string relative = argv_of("dpkg-deb").at(2);
    EXPECT_NE(relative.front(), '/') << relative;
    EXPECT_EQ(install[5], work.string() + "/" + relative);
    EXPECT_NE(info_of("pkexec").find("arg5 regular"), std::string::npos)
        << "the absolute path does not name the staged file from /";
    EXPECT_FALSE(fs::exists(work / relative));
  }
}

TEST(AbsolutePackagePath, KeepsAbsoluteAndJoinsRelative) {
  EXPECT_EQ(absolute_package_path("/tmp/a/velto.deb"), "/tmp/a/velto.deb");
  const std::string cwd = fs::current_path().string();
  EXPECT_EQ(absolute_package_path("a/velto.deb"), cwd + "/a/velto.deb");
  EXPECT_EQ(absolute_package_path("./a/velto.deb"), cwd + "/./a/velto.deb");
  const WorkingDirectory root("/");
  EXPECT_EQ(absolute_package_path("a/velto.deb"), "/a/velto.deb");
}

TEST_F(SequenceTest, AnExceptionEndsTheRunSilentlyWithoutAnEvent) {
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  InstallPlan install_plan = plan();
  install_plan.stage = []() -> StagingOutcome {
    throw RandomSourceError("could not retrieve random bytes for uuid: Function not implemented");
  };
  auto [sender, receiver] = make_progress_channel();
  ::testing::internal::CaptureStderr();
  run_install_worker(install_plan, std::move(sender));
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(written, "could not retrieve random bytes for uuid: Function not implemented\n");
  EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(receiver.try_receive()));
  EXPECT_EQ(started(), Strings{});
}

}  // namespace
}  // namespace velto::testing
