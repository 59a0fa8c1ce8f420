#include "quillpost/host/base/text.h"

#include <gtest/gtest.h>

namespace quillpost {
namespace {

TEST(TextForm, ScalarsReadLikeTheProgramShowsThem) {
  EXPECT_EQ(to_text(true), "True");
  EXPECT_EQ(to_text(false), "False");
  EXPECT_EQ(to_text(std::optional<int>{}), "None");
  EXPECT_EQ(to_text(std::optional<bool>{false}), "False");
  EXPECT_EQ(to_text(std::string("plain")), "plain");
  EXPECT_EQ(to_text(-42), "-42");
  EXPECT_EQ(to_text(3.0), "3.0");
  EXPECT_EQ(to_text(0.1), "0.1");
}

TEST(TextForm, ContainersQuoteTheirTexts) {
  EXPECT_EQ(to_text(std::pair<std::string, int>{"host", 80}), "('host', 80)");
  EXPECT_EQ(to_text(std::pair<std::optional<std::string>, std::optional<int>>{}), "(None, None)");
  EXPECT_EQ(to_text(std::vector<std::string>{"Debian", "12"}), "['Debian', '12']");
  EXPECT_EQ(to_text(std::vector<std::string>{"it's"}), "[\"it's\"]");
}

TEST(PercentFormat, FillsPlaceholdersInOrder) {
  struct Case {
    const char* format;
    std::vector<std::string> args;
    const char* expected;
  };
  const Case cases[] = {
      {"Processing signal %s (%s)", {"2", "SIGINT"}, "Processing signal 2 (SIGINT)"},
      {"%d ms", {"15"}, "15 ms"},
      {"100%% sure %s", {"x"}, "100% sure x"},
      {"missing %s and %s", {"one"}, "missing one and %s"},
      {"surplus %s", {"a", "b"}, "surplus a"},
      {"trailing %", {}, "trailing %"},
      {"%x stays", {"a"}, "%x stays"},
  };
  for (const auto& c : cases) EXPECT_EQ(percent_format(c.format, c.args), c.expected) << c.format;
  EXPECT_EQ(percent_format("flag=%s, debug=%s", true, false), "flag=True, debug=False");
}

TEST(ShellQuote, QuotesOnlyWhatNeedsIt) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"/etc/quillpost/client.conf", "/etc/quillpost/client.conf"},
      {"a_b@c%d+e=f:g,h.i/j-k", "a_b@c%d+e=f:g,h.i/j-k"},
      {"", "''"},
      {"/home/me/My Files/c.conf", "'/home/me/My Files/c.conf'"},
      {"/tmp/{}/c.conf", "'/tmp/{}/c.conf'"},
      {"it's", "'it'\"'\"'s'"},
  };
  for (const auto& c : cases) EXPECT_EQ(shell_quote(c.in), c.out) << c.in;
}

TEST(EscapeControl, EscapesControlsAndBadBytesKeepsPrintableUtf8) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain text: 100% {ok} \\ 'q'", "plain text: 100% {ok} \\ 'q'"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x96\xa8 \xe4\xb8\xad",
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x96\xa8 \xe4\xb8\xad"},
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"c1 \xc2\x9b"
       "2J \xc2\x85",
       "c1 \\u009b2J \\u0085"},
      {"bare \x9b"
       "2J",
       "bare \\x9b2J"},
      // Not UTF-8: a cut sequence, an overlong form, a surrogate, past U+10FFFF.
      {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"\xc0\x8a \xed\xa0\x80 \xf4\x90\x80\x80", "\\xc0\\x8a \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_control(c.in), c.out) << c.in;
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
