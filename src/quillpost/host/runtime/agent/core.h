// The application core's events, and the "core" agent that serves them.
//
// Events (distinct texts, compared by equality):
//   UPDATE_ACCOUNT      payload: the account record (the application's type, in a Payload)
//   HTTP_CONFIG_UPDATE  payload: an HttpConfig
//   REQUEST_CONNECT     payload: a reason text (std::string)
//   REQUEST_DISCONNECT  payload: a reason text (std::string)
//   SEND_SERVER         payload: a Message {event, payload} to send to the server
//   LOG_TO_GUI          payload: a GuiLog
//   REQUEST_LOGOUT      payload: a LogoutRequest
//
// The core agent takes LOG_TO_GUI (to the event logger), REQUEST_LOGOUT (forget
// the account's credentials, persist, publish UPDATE_ACCOUNT with the emptied
// account) and UPDATE_ACCOUNT sent to it (persist, publish UPDATE_ACCOUNT). The
// account record and its storage belong to the application: the agent reaches
// them through the AccountStore it is given.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/config/records.h"

namespace quillpost::core {

inline constexpr std::string_view UPDATE_ACCOUNT = "update_account";
inline constexpr std::string_view HTTP_CONFIG_UPDATE = "http_config_update";
inline constexpr std::string_view REQUEST_CONNECT = "request_connect";
inline constexpr std::string_view REQUEST_DISCONNECT = "request_disconnect";
inline constexpr std::string_view SEND_SERVER = "send_server";
inline constexpr std::string_view LOG_TO_GUI = "log_to_gui";
inline constexpr std::string_view REQUEST_LOGOUT = "request_logout";

// The payload of REQUEST_LOGOUT.
struct LogoutRequest {
  std::string reason;
};

// The application's account storage, as the core agent uses it. Both calls run
// on the runtime's thread; a failure is an exception. A save that fails is
// logged and the account published all the same; a failed logout is logged
// by the runtime.
class AccountStore {
 public:
  virtual ~AccountStore() = default;
  // Stores `account` (the application's account record) durably.
  virtual void save(const agent::Payload& account) = 0;
  // Forgets the current account's credentials, stores the result durably and
  // returns it.
  virtual agent::Payload logout(const std::string& reason) = 0;
};

class CoreAgent : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "core";

  // `report_gui_log` shows one GUI log entry (the event logger).
  CoreAgent(std::function<void(const GuiLog&)> report_gui_log,
            std::shared_ptr<AccountStore> accounts);

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

 private:
  void publish_account(const agent::Payload& account);

  std::function<void(const GuiLog&)> report_gui_log_;
  std::shared_ptr<AccountStore> accounts_;
  agent::Channel pubsub_;
  logs::Logger logger_;
};

}  // namespace quillpost::core
