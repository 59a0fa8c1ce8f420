// Always skips. The check of skipped tests (scripts/check-skips) must see this
// one skipped: if it does not, it could not see any skip, and would pass
// whatever the suite skipped.
#include <gtest/gtest.h>

TEST(SkipCheck, Canary) {
  GTEST_SKIP() << "the canary of scripts/check-skips";
}
