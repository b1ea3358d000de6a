// Staged packages as staging makes them, a directory and its package file, in a directory of the
// test's own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/fd.h"
#include "payload/staged_package.h"
#include "temp_dir.h"

namespace velto::testing {

class StagedPackageTest : public ::testing::Test {
 protected:
  std::string directory(const std::string& name) const { return (tmp_.path() / name).string(); }
  // The directory `name` and its velto.deb, written empty.
  StagedPackage stage(const std::string& name = "staged") const {
    StagedPackage staged = StagedPackage::make(directory(name), directory(name) + "/velto.deb");
    if (staged) Fd{staged.open_file(O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    return staged;
  }
  std::vector<std::filesystem::path> entries() const {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(tmp_.path())) {
      found.push_back(entry.path());
    }
    return found;
  }

  TempDir tmp_;
};

}  // namespace velto::testing
