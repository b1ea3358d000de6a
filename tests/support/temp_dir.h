// A private temporary directory per test, removed with everything in it on every way out.
#pragma once

#include <filesystem>
#include <string>

namespace velto::testing {

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const noexcept { return path_; }
  std::string str() const { return path_.string(); }
  // Writes `text` to `name` inside the directory with the given mode and returns its path.
  std::string write_file(const std::string& name, const std::string& text, int mode = 0644) const;

 private:
  std::filesystem::path path_;
};

// The whole content of the file at `path`; empty when it cannot be read.
std::string read_file(const std::filesystem::path& path);

}  // namespace velto::testing
