// Which process holds one of the package manager's locks, found without privileges: the lock
// files can be stat()ed by any user though not opened, and /proc/locks lists every lock by device
// and inode with the process that took it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velto {

struct LockHolder {
  std::string lock_file;  // which of the files is locked
  pid_t pid = 0;
  std::string comm;  // the holder's name as /proc/PID/comm gives it; empty when it has gone
};

// A file as /proc/locks names it: the device's major and minor numbers and the inode.
struct FileId {
  unsigned long major = 0;
  unsigned long minor = 0;
  unsigned long inode = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// Which of `files` (empty: a file that could not be looked at) is the earliest one held locked in
// `table`, a text in the form of /proc/locks, and the process holding it.
struct TableHolder {
  std::size_t index = 0;
  pid_t pid = 0;
};
std::optional<TableHolder> holder_in_table(std::string_view table,
                                           const std::vector<std::optional<FileId>>& files);

// The holder of the first of `lock_files` that a process holds locked, as /proc/locks shows,
// or nothing. Reads POSIX (fcntl) record locks, which apt and dpkg take, and flock() locks. An
// open-file-description lock names no process in /proc/locks and is passed over.
std::optional<LockHolder> find_lock_holder(const std::vector<std::string>& lock_files);

}  // namespace velto
