// Frames of the socket protocol: one compact JSON object per line,
// {"event": <text>, "payload": <any>}, ended by a line feed.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillpost::service {

// The longest frame either side accepts, line feed not counted. A longer
// frame is a protocol error that ends the connection.
inline constexpr std::size_t max_frame_bytes = 1024 * 1024;

struct Frame {
  std::string event;
  // Ordered, so that the keys of a message are seen in the order they were sent.
  nlohmann::ordered_json payload;
};

// The wire form of one frame, line feed included.
std::string encode_frame(std::string_view event, const nlohmann::ordered_json& payload);

// One received line (without its line feed) as a frame, or the text of what
// is wrong with it.
std::variant<Frame, std::string> parse_frame(std::string_view line);

// Splits a byte stream into lines and refuses any line longer than `max_line`
// bytes, before the line feed has even arrived, so that a peer cannot make the
// reader buffer more than that.
class LineReader {
 public:
  explicit LineReader(std::size_t max_line = max_frame_bytes) : max_line_(max_line) {}

  // Takes in received bytes and appends every completed line, without its
  // line feed, to `lines`. Returns false once a line has grown past the limit;
  // the reader then stays failed and takes in nothing more.
  bool feed(std::string_view bytes, std::vector<std::string>& lines);

  bool failed() const { return failed_; }
  // Bytes of the incomplete line held back.
  std::size_t pending() const { return partial_.size(); }

 private:
  std::size_t max_line_;
  std::string partial_;
  bool failed_ = false;
};

}  // namespace quillpost::service
