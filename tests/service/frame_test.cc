#include "service/frame.h"

#include <gtest/gtest.h>

namespace quillpost::service {
namespace {

TEST(LineReader, SplitsLinesAcrossReads) {
  LineReader reader;
  std::vector<std::string> lines;
  EXPECT_TRUE(reader.feed("{\"a\":1}\n{\"b\"", lines));
  EXPECT_EQ(lines, std::vector<std::string>{"{\"a\":1}"});
  EXPECT_EQ(reader.pending(), 4u);
  EXPECT_TRUE(reader.feed(":2}\n\n", lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}", ""}));
  EXPECT_EQ(reader.pending(), 0u);
}

TEST(LineReader, EnforcesTheLimitBeforeTheLineFeedArrives) {
  struct Case {
    const char* name;
    std::size_t first, second;
    bool ok;
  };
  const std::size_t limit = 16;
  for (const Case& c :
       {Case{"exactly the limit", 10, 6, true}, Case{"one over in one piece", 17, 0, false},
        Case{"one over across reads", 10, 7, false}}) {
    LineReader reader(limit);
    std::vector<std::string> lines;
    bool ok = reader.feed(std::string(c.first, 'x'), lines) &&
              reader.feed(std::string(c.second, 'x'), lines);
    EXPECT_EQ(ok, c.ok) << c.name;
    EXPECT_EQ(reader.failed(), !c.ok) << c.name;
    if (c.ok) {
      EXPECT_TRUE(reader.feed("\n", lines));
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].size(), limit);
    } else {
      EXPECT_FALSE(reader.feed("\n", lines)) << "a failed reader stays failed";
      EXPECT_TRUE(lines.empty());
    }
  }
}

TEST(LineReader, DefaultLimitIsOneMebibyte) {
  LineReader reader;
  std::vector<std::string> lines;
  EXPECT_TRUE(reader.feed(std::string(max_frame_bytes, 'x') + "\n", lines));
  EXPECT_FALSE(reader.feed(std::string(max_frame_bytes + 1, 'x'), lines));
}

TEST(ParseFrame, RefusesEverythingButAnEventObject) {
  struct Case {
    std::string line;
    std::string error;  // empty: valid
  };
  const Case cases[] = {
      {R"({"event":"heartbeat","payload":[]})", ""},
      {R"({"payload":{"x":1},"event":"push","extra":true})", ""},
      {R"({"event":"heartbeat","payload":[]}  )", ""},
      {R"({"event":"x")", "frame is not valid JSON"},
      {"", "frame is not valid JSON"},
      {"[1,2]", "frame is not a JSON object"},
      {R"("text")", "frame is not a JSON object"},
      {R"({"payload":1})", "frame has no text \"event\""},
      {R"({"event":7,"payload":1})", "frame has no text \"event\""},
      {R"({"event":"x"})", "frame has no \"payload\""},
      {"{\"event\":\"\xff\xfe\",\"payload\":1}", "frame is not valid JSON"},
  };
  for (const Case& c : cases) {
    auto result = parse_frame(c.line);
    if (c.error.empty()) {
      EXPECT_TRUE(std::holds_alternative<Frame>(result)) << c.line;
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.line;
      EXPECT_EQ(std::get<std::string>(result), c.error) << c.line;
    }
  }
}

TEST(Frame, EncodesCompactOneLineAndKeepsPayloadOrder) {
  nlohmann::ordered_json payload{{"zeta", 1}, {"alpha", "two\nlines"}};
  std::string wire = encode_frame("push", payload);
  EXPECT_EQ(wire, "{\"event\":\"push\",\"payload\":{\"zeta\":1,\"alpha\":\"two\\nlines\"}}\n");
  auto parsed = parse_frame(std::string_view(wire).substr(0, wire.size() - 1));
  ASSERT_TRUE(std::holds_alternative<Frame>(parsed));
  const Frame& frame = std::get<Frame>(parsed);
  EXPECT_EQ(frame.event, "push");
  EXPECT_EQ(frame.payload.begin().key(), "zeta");
}

}  // namespace
}  // namespace quillpost::service
