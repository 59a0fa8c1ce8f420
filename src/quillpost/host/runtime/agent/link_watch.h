// Whether what an agent beside the client sends to the service reaches it
// inside the current link. Such an agent hears the client's connection status
// and the account updates as the client does, in the same order.
#pragma once

#include <optional>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/world/world.h"

namespace quillpost::agent {

class LinkWatch {
 public:
  // How the link changed for the sender: `up` when what waited may go now,
  // `down` when nothing sent from here on reaches the service.
  enum class Change { none, up, down };

  explicit LinkWatch(std::optional<Account> account) : account_(std::move(account)) {}

  // After a handshake the client corrects the account first when it holds
  // the client key's placeholder e-mail or another computer id: what goes
  // before that correction is dropped, so the link is up only once it came.
  Change connection(const comms::Connection& connection);
  // A change of e-mail or key ends the client's link on this very update.
  Change account(const std::optional<Account>& account);

  bool ready() const { return handshaked_ && !awaiting_account_; }

 private:
  bool handshaked_ = false;
  bool awaiting_account_ = false;
  std::optional<Account> account_;
};

}  // namespace quillpost::agent
