#include "scripts/script_texts.h"

#include <span>

#include "embedded/preflight_script.h"
#include "embedded/privileged_install_script.h"

namespace velto {
namespace {

std::string_view as_text(std::span<const unsigned char> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::string_view preflight_script_text() noexcept { return as_text(embedded::preflight_script()); }

std::string_view privileged_install_script_text() noexcept {
  return as_text(embedded::privileged_install_script());
}

}  // namespace velto
