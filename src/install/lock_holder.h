// Which process holds one of the package manager's locks, found without privileges: the lock
// files can be stat()ed by any user though not opened, and /proc/locks lists every lock by device
// and inode with the process that took it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace velto {

struct LockHolder {
  std::string lock_file;  // which of the files is locked
  pid_t pid = 0;
  std::string comm;  // the holder's name as /proc/PID/comm gives it; empty when it has gone
};

// The lock files of dpkg and apt, frontend first: what apt-get needs before it can install.
std::vector<std::string> package_manager_lock_files();

// The holder of the first of `lock_files` that a process holds locked, or nothing. Reads
// POSIX (fcntl) record locks, which apt and dpkg take, and flock() locks. An open-file-description
// lock names no process in /proc/locks and is passed over.
std::optional<LockHolder> find_lock_holder(const std::vector<std::string>& lock_files);

}  // namespace velto
