#include "install/install_diagnostics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/fd.h"
#include "package_facts.h"
#include "sequence_fixture.h"

namespace velto::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

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

}  // namespace
}  // namespace velto::testing
