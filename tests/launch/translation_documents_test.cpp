// The translation documents built into the program: their exact form, their order of members and
// every text the setup program shows, in both languages.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "launch/catalogue.h"

namespace velto {
namespace {

struct SetupText {
  const char* key;
  const char* english;
  const char* turkish;
};

// Byte for byte, as the window must show them.
const SetupText kSetupTexts[] = {
    {"linuxSetupTitle", "Velto - Remote Access Setup", "Velto - Uzak Erişim Kurulumu"},
    {"linuxSetupConsent",
     "Velto will be installed on this computer. Missing dependencies may be downloaded and Linux "
     "administrator approval will be requested. Continue?",
     "Velto bu bilgisayara kurulacak. Gerekirse paket bağımlılıkları internetten indirilecek ve "
     "Linux yönetici onayı istenecek. Devam edilsin mi?"},
    {"linuxSetupInstall", "Install", "Kur"},
    {"updateInstalling", "Downloading and verifying…", "İndiriliyor ve doğrulanıyor…"},
    {"linuxSetupFailed",
     "Setup could not finish. This installer requires Ubuntu/Debian amd64; run it from a terminal "
     "for details.",
     "Kurulum tamamlanamadı. Bu kurucu Ubuntu/Debian amd64 içindir; ayrıntı için terminalden "
     "çalıştırın."},
    {"linuxSetupPrepareFailed",
     "Installation has not started. Velto could not close safely. Make sure Python 3 and gdbus are "
     "available in the desktop session, then retry.",
     "Kurulum başlamadı. Velto güvenli biçimde kapatılamadı. Masaüstü oturumunda Python 3 ve gdbus "
     "araçlarının kullanılabildiğinden emin olup yeniden deneyin."},
    {"linuxSetupPrepareLegacy",
     "Installation has not started. The previous Velto does not support safe installer shutdown. "
     "Close Velto normally, then run the installer again.",
     "Kurulum başlamadı. Önceki Velto bu güvenli kapanma komutunu desteklemiyor. Velto'ı normal "
     "kapatıp kurulumu yeniden çalıştırın."},
    {"linuxSetupPrepareBusy",
     "Installation has not started. Finish the active Velto connection or transfer, then retry.",
     "Kurulum başlamadı. Etkin Velto bağlantısını veya aktarımını tamamlayıp yeniden deneyin."},
    {"linuxSetupRestartFailed",
     "Velto is installed, but the application could not be restarted. Close the previous window "
     "and open Velto from the applications menu.",
     "Velto kuruldu ancak uygulama yeniden başlatılamadı. Önceki pencereyi kapatıp uygulamalar "
     "menüsünden Velto'ı açın."},
    {"linuxSetupRestartLegacy",
     "Velto is installed. The previous version cannot restart automatically. Close the old Velto "
     "window once, then open Velto from the applications menu.",
     "Velto kuruldu. Önceki sürüm otomatik yeniden başlatmayı desteklemiyor. Eski Velto "
     "penceresini bir kez kapatıp uygulamalar menüsünden Velto'ı açın."},
    {"linuxSetupRestartBusy",
     "Velto is installed. End the active connection or transfer, then retry to restart the "
     "application.",
     "Velto kuruldu. Etkin bağlantıyı veya aktarımı bitirip uygulamayı yeniden başlatmak için "
     "tekrar deneyin."},
};

constexpr const char* kMembers[] = {
    "app",  "nav",         "home",   "devices",  "connectionRequest", "remoteDesktop", "settings",
    "logs", "permissions", "errors", "identity", "installer",         "legal",
};

std::string_view text_of(std::span<const unsigned char> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

nlohmann::ordered_json parse_ordered(std::string_view text) {
  return nlohmann::ordered_json::parse(text.begin(), text.end());
}

// Every member name of `value`, at every depth, as a path.
void collect_names(const nlohmann::ordered_json& value, const std::string& path,
                   std::set<std::string>& names) {
  if (!value.is_object()) return;
  for (const auto& [name, member] : value.items()) {
    names.insert(path + "/" + name);
    collect_names(member, path + "/" + name, names);
  }
}

class TranslationDocument : public ::testing::TestWithParam<Language> {
 protected:
  std::string_view text() const { return text_of(builtin_translation(GetParam())); }
  const char* expected(const SetupText& entry) const {
    return GetParam() == Language::kTurkish ? entry.turkish : entry.english;
  }
};

TEST_P(TranslationDocument, IsUtf8WithCrlfLineEndsAndTwoSpaceIndentation) {
  const std::string_view document = text();
  ASSERT_FALSE(document.empty());
  EXPECT_FALSE(document.starts_with("\xEF\xBB\xBF")) << "byte-order mark";
  ASSERT_TRUE(document.ends_with("}\r\n"));
  for (std::size_t i = 0; i < document.size(); ++i) {
    if (document[i] == '\n') {
      ASSERT_TRUE(i > 0 && document[i - 1] == '\r') << "bare LF at " << i;
    }
    if (document[i] == '\r') {
      ASSERT_TRUE(i + 1 < document.size() && document[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  // Re-emitting the parsed document with two-space indentation and CRLF gives the same bytes, so
  // the layout is exactly that (and the text is valid UTF-8, or parsing would have failed).
  std::string expected = parse_ordered(document).dump(2);
  std::string crlf;
  for (const char c : expected) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  crlf += "\r\n";
  EXPECT_EQ(document, crlf);
}

TEST_P(TranslationDocument, HasThirteenMemberObjectsInOrder) {
  const auto document = parse_ordered(text());
  ASSERT_TRUE(document.is_object());
  ASSERT_EQ(document.size(), std::size(kMembers));
  std::size_t i = 0;
  for (const auto& [name, member] : document.items()) {
    EXPECT_EQ(name, kMembers[i]) << "member " << i;
    EXPECT_TRUE(member.is_object()) << name;
    ++i;
  }
}

TEST_P(TranslationDocument, IdentityHoldsTheSetupTextsByteForByte) {
  const auto identity = parse_ordered(text()).at("identity");
  for (const SetupText& entry : kSetupTexts) {
    ASSERT_TRUE(identity.contains(entry.key)) << entry.key;
    EXPECT_EQ(identity.at(entry.key).get<std::string>(), expected(entry)) << entry.key;
    EXPECT_EQ(identity.at(entry.key).get<std::string>().find_first_of("\r\n"), std::string::npos);
  }
  for (const char* key : {"linuxSetupVerified", "linuxSetupDone", "linuxSetupTerminal"}) {
    ASSERT_TRUE(identity.contains(key)) << key;
    EXPECT_TRUE(identity.at(key).is_string()) << key;
    EXPECT_FALSE(identity.at(key).get<std::string>().empty()) << key;
  }
  ASSERT_TRUE(identity.contains("errors"));
  EXPECT_TRUE(identity.at("errors").is_object());
  for (const auto& [name, member] : identity.items()) {
    if (name != "errors") {
      EXPECT_TRUE(member.is_string()) << name;
    }
  }
}

TEST_P(TranslationDocument, TheCatalogueFindsEverySetupText) {
  const auto catalogue = parse_catalogue(builtin_translation(GetParam()));
  for (const SetupText& entry : kSetupTexts) {
    EXPECT_EQ(lookup_text(*catalogue, entry.key), expected(entry)) << entry.key;
  }
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, TranslationDocument,
                         ::testing::Values(Language::kEnglish, Language::kTurkish),
                         [](const ::testing::TestParamInfo<Language>& param_info) {
                           return param_info.param == Language::kTurkish ? "Turkish" : "English";
                         });

TEST(TranslationDocuments, HaveTheSameMemberNamesEverywhere) {
  std::set<std::string> english;
  std::set<std::string> turkish;
  collect_names(parse_ordered(text_of(builtin_translation(Language::kEnglish))), "", english);
  collect_names(parse_ordered(text_of(builtin_translation(Language::kTurkish))), "", turkish);
  EXPECT_EQ(english, turkish);
  EXPECT_NE(text_of(builtin_translation(Language::kEnglish)),
            text_of(builtin_translation(Language::kTurkish)));
}

}  // namespace
}  // namespace velto
