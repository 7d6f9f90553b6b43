#include "ostrel/util/id_set.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(IdSet, InsertReportsNewIdsAcrossPages) {
  IdSet s;
  for (const uint32_t id : {0u, 63u, 64u, 65535u, 65536u, 4294967295u, 123456789u}) {
    EXPECT_FALSE(s.contains(id));
    EXPECT_TRUE(s.insert(id));
    EXPECT_TRUE(s.contains(id));
    EXPECT_FALSE(s.insert(id));
  }
  for (const uint32_t id : {1u, 62u, 65u, 65534u, 65537u, 4294967294u, 123456788u}) EXPECT_FALSE(s.contains(id));
}

}  // namespace
}  // namespace ostrel
