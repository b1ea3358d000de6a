#include "install/installed_version.h"

#include <fstream>

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

}  // namespace

std::optional<std::string> installed_version(const std::string& status_path,
                                             std::string_view package) {
  std::ifstream database(status_path);
  std::string name, status, version;
  const auto found = [&] { return name == package && fully_installed(status) && !version.empty(); };
  for (std::string line; std::getline(database, line);) {
    if (line.empty()) {
      // A stanza ends at a blank line.
      if (found()) return version;
      name.clear();
      status.clear();
      version.clear();
    }
    for (auto [field_name, target] :
         {std::pair{"Package", &name}, {"Status", &status}, {"Version", &version}}) {
      if (auto value = field(line, field_name)) *target = *value;
    }
  }
  if (found()) return version;
  return std::nullopt;
}

bool is_later_version(const std::string& dpkg, const std::string& version, const std::string& other,
                      const EnvironmentOverlay& environment) {
  // Exit status 0: later; 1: not later; anything else: no answer.
  return Command(dpkg, {"--compare-versions", version, "gt", other}, environment)
      .run()
      .exited_with(0);
}

}  // namespace velto
