#include "service/frame.h"

namespace quillpost::service {

std::string encode_frame(std::string_view event, const nlohmann::ordered_json& payload) {
  nlohmann::ordered_json frame;
  frame["event"] = event;
  frame["payload"] = payload;
  // Invalid UTF-8 in a text is replaced rather than thrown on: a frame always goes out.
  std::string text = frame.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  text.push_back('\n');
  return text;
}

std::variant<Frame, std::string> parse_frame(std::string_view line) {
  if (line.size() > max_frame_bytes) {
    return "frame longer than " + std::to_string(max_frame_bytes) + " bytes";
  }
  nlohmann::ordered_json value = nlohmann::ordered_json::parse(line, nullptr, false);
  if (value.is_discarded()) {
    return std::string("frame is not valid JSON");
  }
  if (!value.is_object()) {
    return std::string("frame is not a JSON object");
  }
  auto event = value.find("event");
  if (event == value.end() || !event->is_string()) {
    return std::string("frame has no text \"event\"");
  }
  auto payload = value.find("payload");
  if (payload == value.end()) {
    return std::string("frame has no \"payload\"");
  }
  return Frame{event->get<std::string>(), std::move(*payload)};
}

bool LineReader::feed(std::string_view bytes, std::vector<std::string>& lines) {
  if (failed_) {
    return false;
  }
  while (!bytes.empty()) {
    auto newline = bytes.find('\n');
    std::string_view piece = bytes.substr(0, newline);
    if (partial_.size() + piece.size() > max_line_) {
      failed_ = true;
      partial_.clear();
      return false;
    }
    partial_.append(piece);
    if (newline == std::string_view::npos) {
      break;
    }
    lines.push_back(std::move(partial_));
    partial_.clear();
    bytes.remove_prefix(newline + 1);
  }
  return true;
}

}  // namespace quillpost::service
