#include "payload/random_uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace velto {
namespace {

TEST(FormatUuidV4, SetsVersionAndVariantAndKeepsTheOtherBits) {
  UuidBytes ones{};
  ones.fill(0xff);
  EXPECT_EQ(format_uuid_v4(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  UuidBytes zeros{};
  EXPECT_EQ(format_uuid_v4(zeros), "00000000-0000-4000-8000-000000000000");
  UuidBytes counting{};
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(format_uuid_v4(counting), "00010203-0405-4607-8809-0a0b0c0d0e0f");
}

TEST(RandomUuidV4, IsCanonicalAndFresh) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string uuid = random_uuid_v4();
    ASSERT_TRUE(std::regex_match(uuid, form)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace velto
