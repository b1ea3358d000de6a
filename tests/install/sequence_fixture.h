// A directory of fake programs and a small real package, so that installation runs can be driven
// through every path without touching the machine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "install/install_sequence.h"
#include "payload/staging.h"
#include "temp_dir.h"

namespace velto::testing {

// What was received for a run: an event, or the news that none came.
struct Received {
  std::optional<ProgressEvent> event;
  bool disconnected = false;
};

std::string describe(const Received& received);

class SequenceTest : public ::testing::Test {
 protected:
  SequenceTest();

  // Installs the fake as bin/<name>, doing `action` (see fake_program.cpp) when started.
  void fake(const std::string& name, const std::string& action = "exit 0");
  std::filesystem::path bin() const { return dir_.path() / "bin"; }
  std::filesystem::path staging_base() const { return dir_.path() / "staging"; }

  // The paths of the fakes; the shell handed to pkexec stays the real one.
  ProgramPaths paths() const;
  // A plan that stages the test package under staging_base() with the real dpkg-deb.
  InstallPlan plan() const;
  // Runs the sequence on this thread and reads what it sent.
  Received run(const InstallPlan& plan);
  Received run() { return run(plan()); }

  // "start N" and "end N" lines in the order the fakes wrote them.
  std::vector<std::string> calls() const;
  // Just the names of the programs started, in order.
  std::vector<std::string> started() const;
  std::vector<std::string> argv_of(const std::string& name, int call = 0) const;
  std::string info_of(const std::string& name, int call = 0) const;
  // Forgets every call recorded so far.
  void forget_calls() const;
  // Entries left in the staging base.
  std::vector<std::string> leftovers() const;

  static const PackagePayload& payload();

  TempDir dir_;
};

}  // namespace velto::testing
