#include "quillpost/host/config/values.h"

#include <gtest/gtest.h>

namespace quillpost {
namespace {

TEST(Boolval, RecognisedWordsAndFallBack) {
  for (const char* t : {"true", "True", "YES", "on", "1", " t ", "y"}) EXPECT_TRUE(boolval(t)) << t;
  for (const char* f : {"false", "FALSE", "no", "Off", "0", "f", "n"}) {
    EXPECT_FALSE(boolval(f, true)) << f;
  }
  for (const char* other : {"", "maybe", "2", "truee"}) {
    EXPECT_TRUE(boolval(other, true)) << other;
    EXPECT_FALSE(boolval(other, false)) << other;
  }
}

TEST(IsInt, AcceptsOnlyDecimalIntegers) {
  for (const char* yes : {"0", "80", "-1", "+7", " 42 ", "007", "99999999999999999999"}) {
    EXPECT_TRUE(is_int(yes)) << yes;
  }
  for (const char* no : {"", " ", "1.5", "0x10", "abc", "1e3", "--1", "+", "1 2"}) {
    EXPECT_FALSE(is_int(no)) << no;
  }
}

}  // namespace
}  // namespace quillpost
