#include "payload/interrupt_cleanup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "staged_package_fixture.h"

namespace velto::testing {
namespace {

// A death test's process that never ended would hold the suite until ctest's timeout: SIGALRM
// ends it within seconds instead, which fails the test (it expects another end).
constexpr unsigned kDeathTestSeconds = 5;

// Processor time, user and system, of the children of this process that have been waited for.
double children_processor_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](timeval t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Each signal that ends a session (logout, Ctrl-C, kill) removes what is staged, then ends the
// process as that signal would have; a signal the process was started with ignored stays ignored.
// The "fast" style forks without exec: the child stages into this fixture's own directory and
// ends without running a destructor, so whatever is found there afterwards the handler left.
// A handler that finds a step under way on another thread waits for it, asleep: here the step
// opens a FIFO, which waits for a reader that comes a second after TERM, and the process must
// spend only a small part of that second on a processor.
TEST_F(StagedPackageTest, AnInterruptingSignalRemovesTheStagedPackageAndEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "fast");
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    EXPECT_EXIT(
        {
          ::alarm(kDeathTestSeconds);
          install_interrupt_cleanup();
          const StagedPackage staged = stage();
          if (!staged || entries().size() != 1) std::_Exit(3);
          std::raise(signal_number);
          std::_Exit(4);
        },
        ::testing::KilledBySignal(signal_number), "");
    EXPECT_TRUE(entries().empty());
  }
  const std::string fifo = directory("step") + "/fifo";
  const double processor_before = children_processor_seconds();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        ::alarm(kDeathTestSeconds);
        install_interrupt_cleanup();
        StagedPackage step = StagedPackage::make(directory("step"), fifo);
        if (!step || ::mkfifo(fifo.c_str(), 0600) != 0) std::_Exit(3);
        std::atomic<pid_t> stepping{0};
        std::thread([&] {
          stepping = ::gettid();
          step.open_file(O_WRONLY, 0);
        }).detach();
        // TERM only once that thread is inside open, so that the handler finds the step under way.
        const std::string in_open = std::to_string(SYS_openat) + " ";
        while (stepping == 0 ||
               !read_file("/proc/self/task/" + std::to_string(stepping) + "/syscall")
                    .starts_with(in_open)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::thread([&] {
          std::this_thread::sleep_for(std::chrono::seconds(1));
          std::fputs("the step ends\n", stderr);
          ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }).detach();
        std::raise(SIGTERM);  // handled on this thread, which waits for the step
        std::_Exit(4);
      },
      ::testing::KilledBySignal(SIGTERM), "the step ends");
  // Reaping the child added its processor time to this process's RUSAGE_CHILDREN.
  const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
  const double processor = children_processor_seconds() - processor_before;
  EXPECT_LT(processor * 20, waited.count())
      << processor << " s of processor time in " << waited.count() << " s";
  EXPECT_TRUE(entries().empty());
  EXPECT_EXIT(
      {
        ::alarm(kDeathTestSeconds);
        std::signal(SIGHUP, SIG_IGN);
        install_interrupt_cleanup();
        std::raise(SIGHUP);
        std::_Exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

TEST_F(StagedPackageTest, AMoveAssignmentHandsOnTheSignalRegistration) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        ::alarm(kDeathTestSeconds);
        install_interrupt_cleanup();
        StagedPackage staged = stage();
        if (!staged) std::_Exit(3);
        {
          StagedPackage held = std::move(staged);
          staged = std::move(held);  // into the emptied owner; `held` goes at the brace
        }
        if (!std::filesystem::exists(staged.package_path())) std::_Exit(5);
        std::raise(SIGTERM);
        std::_Exit(4);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_TRUE(entries().empty());
}

}  // namespace
}  // namespace velto::testing
