#include "install/installed_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/fd.h"
#include "base/io.h"

namespace velto {
namespace {

// The value of the field `name` when `line` is that field's first line.
std::optional<std::string_view> field(std::string_view line, std::string_view name) {
  if (!line.starts_with(name) || line.substr(name.size(), 1) != ":") return std::nullopt;
  line.remove_prefix(name.size() + 1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

// "want flag status", as in "install ok installed" or "hold ok installed".
bool fully_installed(std::string_view status) {
  const std::size_t space = status.find(' ');
  return space != std::string_view::npos && status.substr(space + 1) == "ok installed";
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The stanza of one package at a time, fed line by line.
class StanzaReader {
 public:
  explicit StanzaReader(std::string_view package) : package_(package) {}

  // One line without its line feed; `whole` is false when it was longer than what was kept of it.
  // True once the package's stanza has shown it fully installed, with its version.
  bool line(std::string_view text, bool whole) {
    if (text.empty()) {
      // A stanza ends at a blank line.
      if (found()) return true;
      name_.clear();
      status_.clear();
      version_.clear();
      return false;
    }
    for (auto [field_name, target] :
         {std::pair{"Package", &name_}, {"Status", &status_}, {"Version", &version_}}) {
      // A value cut short is no value.
      if (auto value = field(text, field_name)) *target = whole ? std::string(*value) : "";
    }
    return false;
  }
  bool found() const { return name_ == package_ && fully_installed(status_) && !version_.empty(); }
  const std::string& version() const { return version_; }

 private:
  std::string_view package_;
  std::string name_, status_, version_;
};

}  // namespace

std::optional<std::string> installed_version(const std::string& status_path,
                                             std::string_view package) {
  // Not blocking on open: a FIFO put there would otherwise wait for a writer for good.
  const Fd database{::open(status_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  struct stat st {};
  if (!database || ::fstat(database.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  StanzaReader stanzas(package);
  std::string line;
  bool whole = true;
  char buffer[64 * 1024];
  for (std::size_t total = 0; total < kStatusReadLimit;) {
    const ssize_t n = retry_on_eintr([&] { return ::read(database.get(), buffer, sizeof buffer); });
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
    for (std::string_view rest(buffer, static_cast<std::size_t>(n)); !rest.empty();) {
      const std::size_t feed = rest.find('\n');
      const std::string_view piece = rest.substr(0, feed);
      const std::size_t room = kFieldLineLimit - line.size();
      line.append(piece.substr(0, room));
      whole = whole && piece.size() <= room;
      if (feed == std::string_view::npos) break;
      rest.remove_prefix(feed + 1);
      if (stanzas.line(line, whole)) return stanzas.version();
      line.clear();
      whole = true;
    }
  }
  if (stanzas.line(line, whole) || stanzas.found()) return stanzas.version();
  return std::nullopt;
}

bool looks_like_a_version(std::string_view version) {
  // [epoch:]upstream[-revision]: the epoch a number, the rest starting with a digit and made of
  // letters, digits and . + ~ - (and : when there is an epoch).
  const std::size_t colon = version.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view epoch = version.substr(0, colon);
    if (epoch.empty() || !std::all_of(epoch.begin(), epoch.end(), is_digit)) return false;
  }
  const std::string_view rest =
      colon == std::string_view::npos ? version : version.substr(colon + 1);
  const auto allowed = [&](char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '+' || c == '~' || c == '-' || (c == ':' && colon != std::string_view::npos);
  };
  return !rest.empty() && is_digit(rest.front()) && std::all_of(rest.begin(), rest.end(), allowed);
}

bool is_later_version(const std::string& dpkg, const std::string& version, const std::string& other,
                      const EnvironmentOverlay& environment) {
  // Only what reads as a version reaches dpkg: a value from the database such as "--force-help"
  // would be taken as an option, and dpkg's answer to that is no comparison.
  if (!looks_like_a_version(version) || !looks_like_a_version(other)) return false;
  // Exit status 0: later; 1: not later; anything else: no answer.
  return Command(dpkg, {"--compare-versions", version, "gt", other}, environment)
      .run()
      .exited_with(0);
}

}  // namespace velto
