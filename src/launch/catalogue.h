// The translated texts of the setup program: the `identity` object of one translation document.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velto {

enum class Language { kEnglish, kTurkish };

// The language that a value of LANG chooses; `lang` is null when LANG is unset. Turkish when the
// value is valid UTF-8 and its first two bytes are "tr"; English in every other case.
Language choose_language(const char* lang) noexcept;

// The language that this process's LANG chooses. LC_ALL, LC_MESSAGES and LANGUAGE are not read.
Language language_from_environment() noexcept;

// Read-only texts, looked up by key. A catalogue built from anything but an object answers every
// lookup with nothing.
class Catalogue {
 public:
  explicit Catalogue(nlohmann::json identity);
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;
  ~Catalogue();

  // The string member named `key`, compared byte for byte. Nothing when the member is missing or
  // is not a string: a number or an object never turns into text.
  std::optional<std::string> lookup_text(std::string_view key) const;

 private:
  std::unique_ptr<const nlohmann::json> identity_;
};

// The catalogue is shared by the window builder, the Install handler and each poll timer, all on
// the main thread.
using SharedCatalogue = std::shared_ptr<const Catalogue>;

inline std::optional<std::string> lookup_text(const Catalogue& catalogue, std::string_view key) {
  return catalogue.lookup_text(key);
}

// The parser's description of a translation document that is not strict JSON.
class TranslationParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses a whole translation document as strict JSON (only JSON white space may follow the value)
// and keeps its `identity` member; a root that is not an object, or has no `identity`, gives a
// catalogue of null. Throws TranslationParseError when the document does not parse.
SharedCatalogue parse_catalogue(std::span<const unsigned char> document);

// The catalogue of a translation document built into the program. Such a document that does not
// parse is a defect of the build: this writes "local translations: " and the parser's description
// to standard error and returns null.
SharedCatalogue load_catalogue(std::span<const unsigned char> document);

// The translation document built into the program for `language`.
std::span<const unsigned char> builtin_translation(Language language) noexcept;

}  // namespace velto
