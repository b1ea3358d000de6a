// The carried package against the file it was built from.
#include "payload/package_payload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "base/system_paths.h"
#include "payload/digest.h"
#include "payload/staging_builtin.h"
#include "temp_dir.h"

namespace velto {
namespace {

std::string command_output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string text;
  std::array<char, 256> chunk{};
  while (pipe && std::fgets(chunk.data(), chunk.size(), pipe.get())) text += chunk.data();
  return text;
}

TEST(BuiltinPayload, CarriesExactlyTheBuiltPackage) {
  const PackagePayload& payload = builtin_payload();
  const std::string sha256sum =
      command_output("/usr/bin/sha256sum -b '" VELTO_EMBEDDED_DEB_PATH "'").substr(0, 64);
  ASSERT_EQ(sha256sum.size(), 64u);
  EXPECT_EQ(payload.digest, sha256sum);
  EXPECT_EQ(sha256_hex(payload.bytes), sha256sum);
  EXPECT_EQ(payload.size, std::filesystem::file_size(VELTO_EMBEDDED_DEB_PATH));
  EXPECT_EQ(payload.bytes.size(), payload.size);
  // An ar archive whose first member is debian-binary.
  ASSERT_GE(payload.bytes.size(), 24u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload.bytes.data()), 21),
            "!<arch>\ndebian-binary");
}

TEST(BuiltinPayload, StagesWithTheRealFieldReader) {
  testing::TempDir tmp;
  auto staged = stage_payload(builtin_payload(), system_path::kDpkgDeb, tmp.str());
  ASSERT_TRUE(staged.has_value());
  EXPECT_EQ(command_output("/usr/bin/sha256sum -b '" + staged->package_path() + "'").substr(0, 64),
            builtin_payload().digest);
}

}  // namespace
}  // namespace velto
