#include "launch/catalogue.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace velto {
namespace {

std::span<const unsigned char> bytes_of(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

TEST(ChooseLanguage, OnlyAValidUtf8ValueBeginningWithLowerCaseTrIsTurkish) {
  EXPECT_EQ(choose_language("tr"), Language::kTurkish);
  EXPECT_EQ(choose_language("tr_TR.UTF-8"), Language::kTurkish);
  EXPECT_EQ(choose_language("tr_TR"), Language::kTurkish);
  EXPECT_EQ(choose_language("trx"), Language::kTurkish);

  EXPECT_EQ(choose_language(nullptr), Language::kEnglish);
  EXPECT_EQ(choose_language(""), Language::kEnglish);
  EXPECT_EQ(choose_language("t"), Language::kEnglish);
  EXPECT_EQ(choose_language("TR"), Language::kEnglish);
  EXPECT_EQ(choose_language("Tr_TR.UTF-8"), Language::kEnglish);
  EXPECT_EQ(choose_language("en_US.UTF-8"), Language::kEnglish);
  EXPECT_EQ(choose_language("C"), Language::kEnglish);
  EXPECT_EQ(choose_language(" tr"), Language::kEnglish);
  // Begins with "tr" but the value as a whole is not UTF-8.
  EXPECT_EQ(choose_language("tr_TR.\xff"), Language::kEnglish);
  EXPECT_EQ(choose_language("tr\xc3"), Language::kEnglish);
  // Valid multi-byte UTF-8 after the prefix is fine.
  EXPECT_EQ(choose_language("tr_T\xc3\xbc"), Language::kTurkish);
}

class LanguageEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      if (const char* value = getenv(name)) saved_[index(name)] = value;
    }
  }
  void TearDown() override {
    for (const char* name : kNames) {
      const auto& value = saved_[index(name)];
      if (value) {
        setenv(name, value->c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
  }
  static constexpr const char* kNames[] = {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE"};
  static std::size_t index(const char* name) {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (std::string_view(kNames[i]) == name) return i;
    }
    return 0;
  }
  std::optional<std::string> saved_[std::size(kNames)];
};

TEST_F(LanguageEnvironment, OnlyLangIsConsulted) {
  setenv("LC_ALL", "tr_TR.UTF-8", 1);
  setenv("LC_MESSAGES", "tr_TR.UTF-8", 1);
  setenv("LANGUAGE", "tr", 1);
  unsetenv("LANG");
  EXPECT_EQ(language_from_environment(), Language::kEnglish);
  setenv("LANG", "en_GB.UTF-8", 1);
  EXPECT_EQ(language_from_environment(), Language::kEnglish);

  setenv("LANG", "tr_TR.UTF-8", 1);
  setenv("LC_ALL", "en_US.UTF-8", 1);
  setenv("LANGUAGE", "en", 1);
  EXPECT_EQ(language_from_environment(), Language::kTurkish);
}

TEST(LookupText, AnswersOnlyForStringMembers) {
  const Catalogue catalogue(nlohmann::json::parse(R"({
    "text": "Install",
    "empty": "",
    "unicode": "Kurulum başlamadı…",
    "integer": 7,
    "unsigned": 18446744073709551615,
    "float": 1.5,
    "true": true,
    "false": false,
    "null": null,
    "array": ["Install"],
    "object": {"text": "nested"}
  })"));
  EXPECT_EQ(catalogue.lookup_text("text"), "Install");
  EXPECT_EQ(catalogue.lookup_text("empty"), "");
  EXPECT_EQ(catalogue.lookup_text("unicode"), "Kurulum başlamadı…");
  for (const char* key : {"integer", "unsigned", "float", "true", "false", "null", "array",
                          "object", "missing", "Text", "text ", ""}) {
    EXPECT_EQ(catalogue.lookup_text(key), std::nullopt) << key;
  }
  // Members of nested objects are not found from the top.
  EXPECT_EQ(catalogue.lookup_text("object.text"), std::nullopt);
}

TEST(LookupText, CatalogueThatIsNotAnObjectAnswersNothing) {
  for (const char* document : {"null", "\"text\"", "3", "[\"text\"]", "true"}) {
    const Catalogue catalogue(nlohmann::json::parse(document));
    EXPECT_EQ(catalogue.lookup_text("text"), std::nullopt) << document;
    EXPECT_EQ(catalogue.lookup_text("0"), std::nullopt) << document;
  }
}

TEST(ParseCatalogue, TakesTheIdentityMember) {
  const auto catalogue = parse_catalogue(
      bytes_of("{\r\n  \"app\": {\"linuxSetupTitle\": \"wrong\"},\r\n"
               "  \"identity\": {\"linuxSetupTitle\": \"Velto - Remote Access Setup\"}\r\n}\r\n"));
  ASSERT_NE(catalogue, nullptr);
  EXPECT_EQ(lookup_text(*catalogue, "linuxSetupTitle"), "Velto - Remote Access Setup");
}

TEST(ParseCatalogue, MissingOrMalformedIdentityGivesACatalogueWithoutTexts) {
  for (const char* document :
       {R"({"app": {}})", R"([{"identity": {"linuxSetupTitle": "x"}}])", R"("identity")",
        R"({"identity": "linuxSetupTitle"})", R"({"identity": null})", "{}"}) {
    const auto catalogue = parse_catalogue(bytes_of(document));
    ASSERT_NE(catalogue, nullptr) << document;
    EXPECT_EQ(lookup_text(*catalogue, "linuxSetupTitle"), std::nullopt) << document;
  }
}

TEST(ParseCatalogue, RejectsWhatIsNotStrictJson) {
  const char* const kBroken[] = {
      "",
      "{\"identity\": {}",                         // truncated
      "{\"identity\": {}} x",                      // garbage after the value
      "{\"identity\": {}}\r\n}",                   // a second closing brace
      "{\"identity\": {}}\f",                      // form feed is not JSON white space
      "// comment\r\n{\"identity\": {}}",          // comments are not JSON
      "{\"identity\": {\"a\": \"b\",}}",           // trailing comma
      "{'identity': {}}",                          // single quotes
      "{\"identity\": {\"a\": \"\xff\"}}",         // not UTF-8
      "{\"identity\": {\"a\": \"line\nbreak\"}}",  // raw control character in a string
      "{\"identity\": {}}{\"identity\": {}}",      // two values
  };
  for (const char* document : kBroken) {
    EXPECT_THROW(parse_catalogue(bytes_of(document)), TranslationParseError) << document;
  }
  EXPECT_NO_THROW(parse_catalogue(bytes_of(" \t\r\n{\"identity\": {}} \t\r\n")));
}

TEST(LoadCatalogue, ADocumentThatDoesNotParseIsReportedWithTheParsersMessage) {
  ::testing::internal::CaptureStderr();
  const auto catalogue = load_catalogue(bytes_of("{\"identity\": {}} trailing"));
  const std::string diagnostics = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(catalogue, nullptr);
  EXPECT_EQ(diagnostics.rfind("local translations: ", 0), 0u) << diagnostics;
  // The parser's own description follows, naming where and what went wrong.
  EXPECT_NE(diagnostics.find("parse error"), std::string::npos) << diagnostics;
  EXPECT_NE(diagnostics.find("line 1, column"), std::string::npos) << diagnostics;
  EXPECT_NE(diagnostics.find("expected end of input"), std::string::npos) << diagnostics;
  EXPECT_EQ(diagnostics.back(), '\n');
}

TEST(LoadCatalogue, ParsesSilently) {
  ::testing::internal::CaptureStderr();
  const auto catalogue = load_catalogue(builtin_translation(Language::kTurkish));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_NE(catalogue, nullptr);
  EXPECT_EQ(lookup_text(*catalogue, "linuxSetupInstall"), "Kur");
}

}  // namespace
}  // namespace velto
