#include "quillpost/host/util.h"

#include <gtest/gtest.h>

#include <stdexcept>

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

TEST(IsValidComputername, AsciiLettersDigitsDotsAndDashes) {
  for (const char* ok : {"print-server.local", "PC01", "a"}) EXPECT_TRUE(is_valid_computername(ok));
  for (const char* bad : {"", "under_score", "space here", "caf\xc3\xa9", "semi;colon"}) {
    EXPECT_FALSE(is_valid_computername(bad)) << bad;
  }
}

TEST(ParseServiceDiscoveryParamArg, SplitsAtTheFirstEquals) {
  EXPECT_EQ(parse_service_discovery_param_arg("a=1"),
            (std::pair<std::string, std::string>{"a", "1"}));
  EXPECT_EQ(parse_service_discovery_param_arg("k=v=w"),
            (std::pair<std::string, std::string>{"k", "v=w"}));
  EXPECT_EQ(parse_service_discovery_param_arg("k="),
            (std::pair<std::string, std::string>{"k", ""}));
  EXPECT_THROW(parse_service_discovery_param_arg("novalue"), std::runtime_error);
  EXPECT_THROW(parse_service_discovery_param_arg("=v"), std::runtime_error);
}

TEST(FormatDuration, ScalesWithTheDuration) {
  EXPECT_EQ(format_duration(0.25), "0.25s");
  EXPECT_EQ(format_duration(12.34), "12.3s");
  EXPECT_EQ(format_duration(245), "4m 05s");
  EXPECT_EQ(format_duration(7385), "2h 03m 05s");
  EXPECT_EQ(format_duration(266580), "3d 02h 03m");
  EXPECT_EQ(format_duration(-1), "0.00s");
}

}  // namespace
}  // namespace quillpost
