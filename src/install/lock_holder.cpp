#include "install/lock_holder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace velto {
namespace {

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

std::optional<TableHolder> holder_in_table(std::string_view table,
                                           const std::vector<std::optional<FileId>>& files) {
  std::optional<TableHolder> found;
  std::istringstream lines{std::string(table)};
  for (std::string line; std::getline(lines, line);) {
    // "1: POSIX  ADVISORY  WRITE 1234 fe:00:408225 0 EOF"; a line with "->" after the number is
    // a process waiting for that lock, not holding it.
    std::istringstream fields(line);
    std::string number, kind, mode, access, id_text;
    long pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> id_text)) continue;
    if ((kind != "POSIX" && kind != "FLOCK") || pid <= 0) continue;
    const std::optional<FileId> id = parse_file_id(id_text);
    if (!id) continue;
    // The holder of the earliest file in the list, which is the one apt-get stops at first.
    for (std::size_t i = 0; i < files.size() && (!found || i < found->index); ++i) {
      if (files[i] && *files[i] == *id) found = TableHolder{i, static_cast<pid_t>(pid)};
    }
  }
  return found;
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
  std::ostringstream table;
  table << std::ifstream("/proc/locks").rdbuf();
  const std::optional<TableHolder> found = holder_in_table(table.str(), ids);
  if (!found) return std::nullopt;
  return LockHolder{lock_files[found->index], found->pid, comm_of(found->pid)};
}

}  // namespace velto
