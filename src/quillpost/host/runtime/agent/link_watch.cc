#include "quillpost/host/runtime/agent/link_watch.h"

#include <utility>

namespace quillpost::agent {

LinkWatch::Change LinkWatch::connection(const comms::Connection& connection) {
  const bool handshaked = connection.status == comms::ClientStatus::handshaked;
  if (handshaked == handshaked_) return Change::none;
  handshaked_ = handshaked;
  awaiting_account_ = false;
  if (!handshaked) return Change::down;
  if (account_) {
    const auto computer_id = connection.info.find("computer_id");
    awaiting_account_ = account_->email == AUTH_WITH_CLIENT_KEY_EMAIL ||
                        (computer_id != connection.info.end() && computer_id->is_number_integer() &&
                         account_->computer_id != computer_id->get<std::int64_t>());
  }
  return awaiting_account_ ? Change::none : Change::up;
}

LinkWatch::Change LinkWatch::account(const std::optional<Account>& account) {
  const auto credentials = [](const std::optional<Account>& a) {
    return a ? std::pair(a->email, a->client_key)
             : std::pair(std::optional<std::string>(), std::optional<std::string>());
  };
  const bool credentials_changed = credentials(account) != credentials(account_);
  account_ = account;
  if (!handshaked_) return Change::none;
  if (credentials_changed) {
    handshaked_ = false;
    awaiting_account_ = false;
    return Change::down;
  }
  if (!awaiting_account_) return Change::none;
  awaiting_account_ = false;
  return Change::up;
}

}  // namespace quillpost::agent
