#include "ostrel/util/uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace ostrel {
namespace {

TEST(Uuid, VersionAndVariantBitsAreStamped) {
  Uuid ones;
  ones.fill(0xFF);
  const Uuid stamped = make_uuid_v4(ones);
  EXPECT_EQ(stamped[6], 0x4F);
  EXPECT_EQ(stamped[8], 0xBF);
  const Uuid zeros = make_uuid_v4(Uuid{});
  EXPECT_EQ(zeros[6], 0x40);
  EXPECT_EQ(zeros[8], 0x80);
}

TEST(Uuid, RandomIdsAreVersionFourAndDistinct) {
  std::set<Uuid> seen;
  for (int i = 0; i < 64; ++i) {
    const auto id = random_uuid_v4();
    ASSERT_TRUE(id.ok()) << id.error().message();
    EXPECT_EQ(id.value()[6] >> 4, 4);
    EXPECT_EQ(id.value()[8] >> 6, 2);
    seen.insert(id.value());
  }
  EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace ostrel
