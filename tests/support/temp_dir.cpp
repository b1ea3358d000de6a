#include "temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velto::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velto-test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make read-only leftovers of a test removable before removing them.
  ::chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write_file(const std::string& name, const std::string& text, int mode) const {
  const std::filesystem::path file = path_ / name;
  {
    std::ofstream out(file, std::ios::binary);
    out << text;
  }
  ::chmod(file.c_str(), static_cast<mode_t>(mode));
  return file.string();
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace velto::testing
