#include "install/install_sequence.h"

#include <fcntl.h>
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
#include <thread>

#include "base/fd.h"
#include "base/quoted.h"
#include "install/install_diagnostics.h"
#include "install/installed_version.h"
#include "install/lock_holder.h"
#include "package_facts.h"
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
        Row{"Install1RecoveryRestartIgnored", regular, "exit 0", "exit 1", "exit 0", key::kFailed,
            kAll},
        Row{"Install2RecoveryRestartIgnored", regular, "exit 0", "exit 2", "exit 0", key::kFailed,
            kAll},
        Row{"Install126Dismissed", regular, "exit 0", "exit 126", "exit 0", key::kFailed, kAll},
        Row{"Install127NotAuthorised", regular, "exit 0", "exit 127", "exit 0", key::kFailed, kAll},
        Row{"InstallKilled", regular, "exit 0", "signal 9", "exit 0", key::kFailed, kAll},
        Row{"InstallFailedRecoveryBusyIgnored", regular, "exit 0", "exit 100", "exit 21",
            key::kFailed, kAll},
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

// The lines a failed installation leaves on standard error, one per step that failed.
class DiagnosticsTest : public SequenceTest {
 protected:
  Strings lines_for(const char* preflight, const char* install, const char* restart) {
    fake("python3", preflight);
    fake("pkexec", install);
    fake("velto-desktop", restart);
    return run_install_steps(plan()).diagnostics;
  }
  std::string program(const char* name) const { return (bin() / name).string(); }
};

// A failed recovery restart gets a line of its own; without a launcher (a first installation that
// failed) there was nothing to restart, and no line says that the restart could not run.
TEST_F(DiagnosticsTest, ARecoveryRestartThatFailedGetsALineOnlyWithALauncher) {
  const Strings two = lines_for("exit 0", "exit 2", "exit 22");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1], "velto-linux-setup: " + program("velto-desktop") +
                        " --restart-after-install ended with exit status 22; this restart followed "
                        "the failed installation and does not change the outcome");
  fs::remove(bin() / "velto-desktop");
  EXPECT_EQ(run_install_steps(plan()).diagnostics, Strings{two[0]});
  // An installation that failed after it put the launcher in place: there is something to restart.
  fake("pkexec", "install velto-desktop exit 2");
  EXPECT_EQ(run_install_steps(plan()).diagnostics, two);
}

// What each status of the root script, as pkexec passes it on, means.
TEST(InstallLine, SaysWhatEachStatusOfTheRootScriptMeans) {
  const std::pair<int, const char*> cases[] = {
      {1,
       "the install script refused: not running as root, no work directory under /var/tmp, or "
       "the copy's size or digest differs"},
      {2, "the install script was given arguments of the wrong form"},
      {100, "apt-get failed; /var/log/apt/term.log has dpkg's messages only when dpkg ran"},
      {124, "copying the staged package took longer than 30 seconds"},
      {125, "a command of the install script failed"},
      {126, "the administrator refused or cancelled"},
      {127, "not authorised, or pkexec could not run the install script"},
      {130, "the install script was interrupted by a signal"},
  };
  for (const auto& [status, meaning] : cases) {
    EXPECT_EQ(install_line("/p", ChildEnd::exited(status)),
              "velto-linux-setup: /p ended with exit status " + std::to_string(status) + " (" +
                  meaning + ")");
  }
}

TEST_F(DiagnosticsTest, AptGetsFailureNamesTheProcessHoldingAPackageManagersLock) {
  // A process of the test's own takes a POSIX record lock, as apt and dpkg do, on the last of
  // three lock files, says its process id once it holds it, and keeps it until its input closes.
  const std::string locked = dir_.write_file("lock", "");
  std::unique_ptr<FILE, int (*)(FILE*)> holder(
      ::popen(("exec /usr/bin/python3 -c '"
               "import fcntl, os, sys\n"
               "f = open(sys.argv[1], \"w\")\n"
               "fcntl.lockf(f, fcntl.LOCK_EX)\n"
               "open(\"/proc/self/comm\", \"w\").write(\"apt \\\"\\x1b[2J\")\n"
               "open(sys.argv[1] + \".tmp\", \"w\").write(str(os.getpid()))\n"
               "os.rename(sys.argv[1] + \".tmp\", sys.argv[1] + \".pid\")\n"
               "sys.stdin.read()' " +
               locked)
                  .c_str(),
              "w"),
      ::pclose);
  ASSERT_TRUE(holder);
  const fs::path pid_file = locked + ".pid";
  for (int i = 0; i < 1000 && !fs::exists(pid_file); ++i) ::usleep(10'000);
  std::string pid;
  std::ifstream(pid_file) >> pid;
  ASSERT_FALSE(pid.empty()) << "the lock holder did not start";

  InstallPlan install_plan = plan();
  install_plan.lock_files = {(dir_.path() / "missing").string(), dir_.write_file("free", ""),
                             locked};
  fake("python3");
  fake("velto-desktop");
  fake("pkexec", "exit 100");
  EXPECT_EQ(run_install_steps(install_plan).diagnostics,
            Strings{"velto-linux-setup: " + program("pkexec") +
                    " ended with exit status 100 (apt-get failed; /var/log/apt/term.log has "
                    "dpkg's messages only when dpkg ran); process " +
                    pid + " \"apt \\\"\\x1b[2J\" holds " + locked +
                    ": wait for it to finish, then press Install again"});
  // Any other failure is not apt-get's, and the lock is not its cause.
  fake("pkexec", "exit 1");
  const Strings other = run_install_steps(install_plan).diagnostics;
  ASSERT_EQ(other.size(), 1u);
  EXPECT_TRUE(other[0].ends_with("the copy's size or digest differs)")) << other[0];
}

// Device numbers in /proc/locks are hexadecimal, as on NVMe (103:02 is 259:2) and device-mapper
// (fd:01 is 253:1) disks; the inode is decimal. Waiting locks ("->") and open-file-description
// locks (no process) hold nothing.
TEST(LockTable, NamesTheHolderOfTheEarliestLockedFile) {
  const std::string_view table =
      "1: POSIX  ADVISORY  WRITE 4321 103:02:1234 0 EOF\n"
      "1: -> POSIX  ADVISORY  WRITE 77 fd:01:555 0 EOF\n"
      "2: OFDLCK ADVISORY  WRITE -1 fd:01:555 0 EOF\n"
      "3: FLOCK  ADVISORY  WRITE 99 fd:01:4096 0 EOF\n";
  const FileId nvme{259, 2, 1234}, mapped{253, 1, 4096}, waited_for{253, 1, 555};
  EXPECT_EQ(holder_in_table(table, {std::nullopt, nvme}).value().pid, 4321);
  EXPECT_EQ(holder_in_table(table, {mapped, nvme}).value().index, 0u);
  EXPECT_FALSE(holder_in_table(table, {waited_for, FileId{103, 2, 1234}}));
}

// After apt-get's 100, a velto is named only when apt-get said that it refused a downgrade and dpkg
// lists it as fully installed and newer than the carried one by Debian's rules (an epoch counts
// first, 9 is less than 80).
TEST_F(DiagnosticsTest, AptGetsFailureNamesANewerInstalledVelto) {
  fake("python3");
  fake("velto-desktop");
  fake("pkexec", "err words exit 100");
  const char* installed = "install ok installed";
  const char* refused = "E: Packages were downgraded and -y was used without --allow-downgrades.";
  for (const auto& [status, version, words, named] :
       {std::tuple{installed, "0.2.0", refused, true},
        {"hold ok installed", "1:0.1.0", refused, true},
        {installed, "0.1.9", refused, false},
        {installed, kPackageVersion.data(), refused, false},
        {"install ok half-installed", "0.2.0", refused, false},
        // dpkg would read it as an option, and answer 0
        {installed, "--force-help", refused, false},
        // apt-get stopped before it looked at velto: the database alone proves no refusal.
        {installed, "0.2.0", "E: dpkg was interrupted, you must manually run 'dpkg --configure -a'",
         false}}) {
    dir_.write_file("bin/words", words);
    // Another package, newer still, first, with a long description, and a description line that
    // looks like a field.
    dir_.write_file("dpkg-status", std::string("Package: velto-desktop\nStatus: ") + installed +
                                       "\nDescription: " + std::string(100'000, 'd') +
                                       "\nVersion: 9.0\n\nPackage: velto\nStatus: " + status +
                                       "\nVersion: " + version +
                                       "\nDescription: x\n Version: 9.0\n");
    const std::string line = run_install_steps(plan()).diagnostics.at(0);
    EXPECT_TRUE(line.ends_with(named ? std::string("(apt-get failed: velto ") + version +
                                           " is installed, newer than the " +
                                           std::string(kPackageVersion) +
                                           " this installer "
                                           "carries, and apt-get does not replace it with an "
                                           "older one)"
                                     : "only when dpkg ran)"))
        << line;
  }
}

// Only a regular file is read as dpkg's database: a FIFO there would stall the run for good.
TEST(InstalledVersion, IsReadOnlyFromARegularFile) {
  const TempDir dir;
  const std::string fifo = (dir.path() / "status").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EXIT(
      {
        ::alarm(5);  // a read that waits fails in seconds
        std::exit(installed_version(fifo, "velto") ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

// What the installation printed on either stream follows pkexec's line: of the last 16 KiB, the
// last ten lines that are not blank, escaped, each as a terminal shows it. The run ends with
// pkexec, though a process it started keeps the pipe open.
TEST_F(DiagnosticsTest, TheLastLinesTheInstallationPrintedFollowItsLine) {
  std::string lines = "\n  \n";
  for (int i = 1; i <= 11; ++i) lines += "line " + std::to_string(i) + (i == 5 ? "\r\n\n" : "\n");
  // dpkg's progress, rewritten in place.
  lines +=
      "(Reading database ... \r(Reading database ... 5%\r(Reading database ... 12 files.)\r\r\n";
  dir_.write_file("bin/early", "lost\n");
  dir_.write_file("bin/lines", lines);
  dir_.write_file("bin/reason", "E: held \x1b[0m\xff\"");  // no line feed at the end
  // A character of three bytes: the kept 16 KiB start in the middle of one.
  std::string euros;
  for (int i = 0; i < 1'000'000; ++i) euros += "\xe2\x82\xac";
  dir_.write_file("bin/long", euros);
  fake("python3");
  fake("velto-desktop");
  const std::string pkexec = "velto-linux-setup: " + program("pkexec");
  fake("pkexec", "err early flood 100000 out lines err reason hold 5000 exit 100");
  Strings expected{pkexec +
                   " ended with exit status 100 (apt-get failed; /var/log/apt/term.log "
                   "has dpkg's messages only when dpkg ran)"};
  for (int i = 4; i <= 11; ++i) expected.push_back("velto-linux-setup: line " + std::to_string(i));
  expected.push_back("velto-linux-setup: (Reading database ... 12 files.)");
  expected.push_back("velto-linux-setup: E: held \\x1b[0m\\xff\\\"");
  EXPECT_EQ(run_install_steps(plan()).diagnostics, expected);
  const Strings seen = calls();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "end held"), 0) << "it waited for the pipe's end";
  pid_t held = 0;
  std::ifstream(bin() / "held.pid") >> held;
  ASSERT_GT(held, 0);
  ::kill(held, SIGKILL);

  // Killed by a signal: its line, then what it printed.
  fake("pkexec", "err reason signal 9");
  EXPECT_EQ(run_install_steps(plan()).diagnostics,
            (Strings{pkexec + " was ended by signal 9 (SIGKILL)", expected.back()}));

  // One line of megabytes without a line feed: its end, marked as cut at both places, in whole
  // characters.
  fake("pkexec", "out long exit 1");
  const Strings long_line = run_install_steps(plan()).diagnostics;
  ASSERT_EQ(long_line.size(), 2u);
  EXPECT_LE(long_line[1].size(), 8191u);
  const std::string three = "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac";
  EXPECT_TRUE(long_line[1].starts_with("velto-linux-setup: [\xe2\x80\xa6]" + three))
      << long_line[1];
  EXPECT_NE(long_line[1].find(three + "[\xe2\x80\xa6]" + three), std::string::npos);
}

TEST_F(DiagnosticsTest, StagingGivesItsReason) {
  InstallPlan install_plan = plan();
  install_plan.stage = [base = (staging_base() / "missing").string()] {
    return stage_payload(payload(), "/usr/bin/dpkg-deb", base);
  };
  const Strings lines = run_install_steps(install_plan).diagnostics;
  ASSERT_EQ(lines.size(), 1u);
  const std::string prefix =
      "velto-linux-setup: staging the package failed: could not create "
      "the staging directory \"" +
      (staging_base() / "missing").string() + "/velto-installer-";
  EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("\" under TMPDIR \"" + (staging_base() / "missing").string() +
                                 "\": No such file or directory"))
      << lines[0];
  EXPECT_EQ(started(), Strings{});

  // A TMPDIR too long for a path: both long values give way in their middle, and the reason
  // stays at the end of a line of at most 8 KiB.
  for (const std::size_t size : {std::size_t{4'500}, std::size_t{800'000}}) {
    install_plan.stage = [size] {
      return stage_payload(payload(), "/usr/bin/dpkg-deb", std::string(size, 'x'));
    };
    ::testing::internal::CaptureStderr();
    run(install_plan);
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_LE(written.size(), 8192u);
    EXPECT_TRUE(written.ends_with("x\": File name too long\n")) << written;
    // The directory's path and TMPDIR share the room, each cut once.
    const std::string marker = "x[\xe2\x80\xa6]x";
    EXPECT_NE(written.find(marker), written.rfind(marker)) << written;
    EXPECT_NE(written.find("x/velto-installer-"), std::string::npos) << written;
  }
}

TEST_F(DiagnosticsTest, ACompleteRunWritesNothingAndAnyOtherWritesItsLines) {
  ::testing::internal::CaptureStderr();
  fake("python3");
  fake("pkexec");
  fake("velto-desktop");
  EXPECT_EQ(describe(run()), "Completed");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  fake("pkexec", "exit 127");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(describe(run()), std::string("Report ") + outcome_key::kFailed);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "velto-linux-setup: " + program("pkexec") +
                " ended with exit status 127 (not authorised, or pkexec could not run the install "
                "script)\n");
}

// Standard error on a pipe that nobody reads: the outcome of each run reaches the window at once,
// and once the pipe is read every line arrives whole, the runs' lines in the order of their
// outcomes.
TEST_F(DiagnosticsTest, TheOutcomeNeverWaitsForStandardError) {
  fake("python3");
  fake("velto-desktop");
  // Ten printed lines of 6,548 bytes once escaped: far more than the pipe holds.
  const std::string controls(1637, '\x01');
  std::string printed;
  for (int i = 0; i < 10; ++i) printed += controls + "\n";
  dir_.write_file("bin/printed", printed);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const Fd unread{fds[0]};
  Fd error_pipe{fds[1]};
  ::fcntl(error_pipe.get(), F_SETPIPE_SZ, 4096);
  const Fd saved{::dup(2)};
  ::dup2(error_pipe.get(), 2);
  error_pipe.reset();

  // Each run on a thread of its own, as the window starts them; the second once the first's
  // outcome is in.
  std::vector<std::thread> workers;
  Strings outcomes;
  for (const char* install : {"out printed exit 1", "exit 2"}) {
    fake("pkexec", install);
    auto [sender, receiver] = make_progress_channel();
    workers.emplace_back([this, sender = std::move(sender)]() mutable {
      run_install_sequence(plan(), std::move(sender));
    });
    // It comes at once; waiting for the lines, it would never come.
    for (int tick = 0; tick < 500; ++tick) {
      const TryReceiveResult result = receiver.try_receive();
      if (const auto* event = std::get_if<ProgressEvent>(&result)) {
        outcomes.push_back(event->key());
        break;
      }
      ::usleep(10'000);
    }
  }
  std::string written;
  char buffer[4096];
  for (ssize_t n; std::count(written.begin(), written.end(), '\n') < 12 &&
                  (n = ::read(unread.get(), buffer, sizeof buffer)) > 0;) {
    written.append(buffer, static_cast<std::size_t>(n));
  }
  for (std::thread& worker : workers) worker.join();
  ::dup2(saved.get(), 2);

  EXPECT_EQ(outcomes, (Strings{outcome_key::kFailed, outcome_key::kFailed}));
  std::string escaped_controls;
  for (int i = 0; i < 1637; ++i) escaped_controls += "\\x01";
  const std::string pkexec = "velto-linux-setup: " + program("pkexec") + " ended with exit status ";
  std::string expected = pkexec +
                         "1 (the install script refused: not running as root, no work "
                         "directory under /var/tmp, or the copy's size or digest differs)\n";
  for (int i = 0; i < 10; ++i) expected += "velto-linux-setup: " + escaped_controls + "\n";
  expected += pkexec + "2 (the install script was given arguments of the wrong form)\n";
  EXPECT_EQ(written, expected);
}

TEST(ProductionPaths, AreTheSystemsOwn) {
  const ProgramPaths paths = production_program_paths();
  EXPECT_EQ(paths.python, "/usr/bin/python3");
  EXPECT_EQ(paths.pkexec, "/usr/bin/pkexec");
  EXPECT_EQ(paths.shell, "/bin/sh");
  EXPECT_EQ(paths.desktop, "/usr/bin/velto-desktop");
}

}  // namespace
}  // namespace velto::testing
