#include "launch/catalogue.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/diagnostic_line.h"
#include "embedded/translation_en.h"
#include "embedded/translation_tr.h"

namespace velto {

Language choose_language(const char* lang) noexcept {
  if (lang == nullptr || !g_utf8_validate(lang, -1, nullptr)) return Language::kEnglish;
  // A plain prefix test: "tr", "tr_TR.UTF-8" and "trx" all choose Turkish; "TR" does not.
  return std::strncmp(lang, "tr", 2) == 0 ? Language::kTurkish : Language::kEnglish;
}

Language language_from_environment() noexcept { return choose_language(std::getenv("LANG")); }

Catalogue::Catalogue(nlohmann::json identity)
    : identity_(std::make_unique<const nlohmann::json>(std::move(identity))) {}

Catalogue::~Catalogue() = default;

std::optional<std::string> Catalogue::lookup_text(std::string_view key) const {
  if (!identity_->is_object()) return std::nullopt;
  const auto member = identity_->find(key);
  if (member == identity_->end() || !member->is_string()) return std::nullopt;
  return member->get_ref<const std::string&>();
}

SharedCatalogue parse_catalogue(std::span<const unsigned char> document) {
  nlohmann::json root;
  try {
    // Strict: no comments, and nothing but white space after the value.
    root = nlohmann::json::parse(document.begin(), document.end(), nullptr,
                                 /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::parse_error& error) {
    throw TranslationParseError(error.what());
  }
  nlohmann::json identity;  // null unless the document has an identity member
  if (root.is_object()) {
    if (const auto member = root.find("identity"); member != root.end()) {
      // Moved, not copied: the rest of the document belongs to the desktop application and
      // nothing here reads it again.
      identity = std::move(*member);
    }
  }
  return std::make_shared<const Catalogue>(std::move(identity));
}

SharedCatalogue load_catalogue(std::span<const unsigned char> document) {
  try {
    return parse_catalogue(document);
  } catch (const TranslationParseError& error) {
    write_error_line("local translations: ", error.what());
  }
  return nullptr;
}

std::span<const unsigned char> builtin_translation(Language language) noexcept {
  return language == Language::kTurkish ? embedded::translation_tr() : embedded::translation_en();
}

}  // namespace velto
