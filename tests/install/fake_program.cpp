// A stand-in for any program an installation run starts. It learns what to do from the file
// "<its own path>.action" and leaves a record of each call next to itself, so a test can check
// the order of the calls, their argument vectors and what the child was given.
//
// Records, in the directory D of argv[0], for a program named N:
//   D/calls           one line "start N" when a call begins and "end N" when it ends
//   D/N.<k>.argv      the k-th call's argument vector, each element followed by a NUL byte
//   D/N.<k>.info      "stdin|stdout|stderr TARGET", "cwd PATH", "fds LIST" (descriptors above 2),
//                     "env NAME VALUE" for VELTO_TEST_MARK, LANG and DESKTOP_STARTUP_ID and, when
//                     there is a fifth argument, "arg5 ..." describing that file as seen from "/"
//                     (where pkexec would start its program)
// Actions, one per line, run in order; the default is "exit 0":
//   sleep MS | exit CODE | signal NUMBER | fields (answer dpkg-deb -f PATH FIELD for velto)
//   out FILE | err FILE (the bytes of D/FILE on standard output or error) | flood BYTES (lines of
//   filler on standard output) | hold MS (a child that keeps standard output and error open for
//   MS milliseconds, as a daemon a maintainer script started would; its pid in D/held.pid) |
//   install NAME (a copy of this program as D/NAME, as an installation puts a launcher in place)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "package_facts.h"

namespace {

std::string g_dir;
std::string g_name;

void append_line(const std::string& line) {
  const std::string path = g_dir + "/calls";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) std::_Exit(90);
  const std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::_Exit(90);
  ::close(fd);
}

std::string link_target(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
  return n < 0 ? std::string("(none)") : std::string(buffer, static_cast<std::size_t>(n));
}

// Descriptors open in this process above 2, not counting the one the listing itself uses.
std::string extra_descriptors() {
  std::string list;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return "(unreadable)";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::atoi(name.c_str()) <= 2) continue;
    if (std::atoi(name.c_str()) == ::dirfd(dir)) continue;
    list += " " + name + "=" + link_target("/proc/self/fd/" + name);
  }
  ::closedir(dir);
  return list;
}

void record(int argc, char** argv) {
  int k = 0;
  int fd = -1;
  std::string base;
  for (;; ++k) {
    base = g_dir + "/" + g_name + "." + std::to_string(k);
    fd = ::open((base + ".argv").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) break;
  }
  std::string all;
  for (int i = 0; i < argc; ++i) all.append(argv[i], std::char_traits<char>::length(argv[i]) + 1);
  if (::write(fd, all.data(), all.size()) != static_cast<ssize_t>(all.size())) std::_Exit(90);
  ::close(fd);

  std::ostringstream info;
  info << "stdin " << link_target("/proc/self/fd/0") << "\n";
  info << "stdout " << link_target("/proc/self/fd/1") << "\n";
  info << "stderr " << link_target("/proc/self/fd/2") << "\n";
  info << "cwd " << link_target("/proc/self/cwd") << "\n";
  info << "fds" << extra_descriptors() << "\n";
  for (const char* name : {"VELTO_TEST_MARK", "LANG", "DESKTOP_STARTUP_ID"}) {
    const char* value = std::getenv(name);
    info << "env " << name << " " << (value ? value : "(unset)") << "\n";
  }
  if (argc > 5) {
    // pkexec starts its program in root's home; a path that only made sense here would miss.
    if (::chdir("/") != 0) std::_Exit(90);
    struct stat st {};
    if (::stat(argv[5], &st) != 0) {
      info << "arg5 missing\n";
    } else {
      info << "arg5 " << (S_ISREG(st.st_mode) ? "regular " : "other ") << st.st_size << "\n";
    }
  }
  std::ofstream(base + ".info") << info.str();
}

std::string control_field(const std::string& name) {
  if (name == "Package") return std::string(velto::kPackageName);
  if (name == "Version") return std::string(velto::kPackageVersion);
  if (name == "Architecture") return std::string(velto::kPackageArchitecture);
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = argv[0];
  const auto slash = self.rfind('/');
  if (slash == std::string::npos) return 91;
  g_dir = self.substr(0, slash);
  g_name = self.substr(slash + 1);

  append_line("start " + g_name);
  record(argc, argv);

  std::ifstream actions(self + ".action");
  std::string word;
  int code = 0;
  while (actions >> word) {
    long value = 0;
    if (word == "fields") {
      std::printf("%s\n", control_field(argc > 3 ? argv[3] : "").c_str());
      std::fflush(stdout);
      continue;
    }
    if (word == "install") {
      std::string name;
      actions >> name;
      std::ofstream(g_dir + "/" + name, std::ios::binary)
          << std::ifstream(self, std::ios::binary).rdbuf();
      if (::chmod((g_dir + "/" + name).c_str(), 0755) != 0) return 95;
      continue;
    }
    if (word == "out" || word == "err") {
      std::string file;
      actions >> file;
      std::ifstream in(g_dir + "/" + file, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      const std::string text = bytes.str();
      const int fd = word == "out" ? 1 : 2;
      if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 95;
      continue;
    }
    if (!(actions >> value)) return 92;
    if (word == "flood") {
      const std::string line = "filler " + std::string(57, '.') + "\n";
      for (long left = value; left > 0; left -= static_cast<long>(line.size())) {
        if (::write(1, line.data(), line.size()) < 0) return 95;
      }
      continue;
    }
    if (word == "hold") {
      const pid_t held = ::fork();
      if (held == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(value));
        append_line("end held");
        std::_Exit(0);
      }
      std::ofstream(g_dir + "/held.pid") << held << "\n";
      continue;
    }
    if (word == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(value));
    } else if (word == "exit") {
      code = static_cast<int>(value);
      break;
    } else if (word == "signal") {
      append_line("end " + g_name);
      std::signal(static_cast<int>(value), SIG_DFL);
      std::raise(static_cast<int>(value));
      return 93;  // only reached for a signal that does not end the process
    } else {
      return 94;
    }
  }
  append_line("end " + g_name);
  return code;
}
