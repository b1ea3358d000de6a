#include "install/lock_holder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace velto {
namespace {

struct FileId {
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// "MAJ:MIN:INODE" as /proc/locks writes it: the device numbers in hexadecimal, the inode in
// decimal.
std::optional<FileId> parse_file_id(std::string_view text) {
  FileId id;
  const auto number = [&](unsigned long& value, int base, char end) {
    const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || rest == text.data()) return false;
    text.remove_prefix(static_cast<std::size_t>(rest - text.data()));
    if (end == '\0') return text.empty();
    if (text.empty() || text.front() != end) return false;
    text.remove_prefix(1);
    return true;
  };
  if (!number(id.major, 16, ':') || !number(id.minor, 16, ':') || !number(id.inode, 10, '\0')) {
    return std::nullopt;
  }
  return id;
}

std::string comm_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

}  // namespace

std::vector<std::string> package_manager_lock_files() {
  return {"/var/lib/dpkg/lock-frontend", "/var/lib/dpkg/lock", "/var/cache/apt/archives/lock",
          "/var/lib/apt/lists/lock"};
}

std::optional<LockHolder> find_lock_holder(const std::vector<std::string>& lock_files) {
  std::vector<std::optional<FileId>> ids;
  for (const std::string& file : lock_files) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
      ids.emplace_back();
      continue;
    }
    ids.push_back(FileId{major(st.st_dev), minor(st.st_dev), st.st_ino});
  }
  // The holder of the earliest file in the list, which is the one apt-get stops at first.
  std::optional<std::size_t> first;
  pid_t holder = 0;
  std::ifstream table("/proc/locks");
  for (std::string line; std::getline(table, line);) {
    // "1: POSIX  ADVISORY  WRITE 1234 fe:00:408225 0 EOF"; a line with "->" after the number is
    // a process waiting for that lock, not holding it.
    std::istringstream fields(line);
    std::string number, kind, mode, access, id_text;
    long pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> id_text)) continue;
    if ((kind != "POSIX" && kind != "FLOCK") || pid <= 0) continue;
    const std::optional<FileId> id = parse_file_id(id_text);
    if (!id) continue;
    for (std::size_t i = 0; i < ids.size() && (!first || i < *first); ++i) {
      if (ids[i] && *ids[i] == *id) {
        first = i;
        holder = static_cast<pid_t>(pid);
      }
    }
  }
  if (!first) return std::nullopt;
  return LockHolder{lock_files[*first], holder, comm_of(holder)};
}

}  // namespace velto
