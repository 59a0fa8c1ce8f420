// The fault knobs: ways to make the service misbehave on purpose, so that
// tests can drive the client through every failure it must survive. Each knob
// has a name and a text value; "ok" (or "answer") is normal behaviour.
//
//   discovery    ok | 500 | malformed | hang | closed-port
//   socket       ok | silent
//   auth         ok | fail | rejected | rejected-destroy | rejected-bare |
//                rejected-destroy-bare | error | oversized | malformed
//   heartbeat    answer | ignore
//   retry-after  seconds (a number >= 0) put in "rejected" answers
//   document     ok | 404 | 500 | corrupt | redirect | redirect-loop | hang |
//                truncated
#pragma once

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace quillpost::service {

class Faults {
 public:
  Faults();

  // Sets `knob` to `value`. Returns the text of what is wrong (unknown knob,
  // value not allowed), or an empty text when the knob was set.
  std::string set(std::string_view knob, std::string_view value);
  // Sets "knob=value".
  std::string set_assignment(std::string_view assignment);
  // Sets every knob of a JSON object {"knob": "value", ...} (numbers allowed
  // for retry-after); nothing is changed when any entry is refused.
  std::string set_json(const nlohmann::json& object);

  const std::string& get(std::string_view knob) const;
  double retry_after() const;

  nlohmann::json to_json() const;

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace quillpost::service
