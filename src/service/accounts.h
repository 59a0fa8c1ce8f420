// The accounts the service knows: who may log in and which client keys it
// accepts on the socket.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::service {

struct Account {
  std::int64_t id = 0;
  std::string email;
  std::string password;
  std::string client_key;
  // Computer name -> computer id, for computers known in advance.
  std::map<std::string, std::int64_t> computers;
};

// The account that exists unless `--no-demo-account` is given, so that the
// client can be tried with no set-up.
Account demo_account();

class AccountStore {
 public:
  // Adds `account`. Throws std::invalid_argument when its id, e-mail or client
  // key is already taken, or a required field is empty.
  void add(Account account);

  // Adds every account of an accounts document:
  //   {"accounts": [{"id": 7, "email": "a@b.test", "password": "pw",
  //                  "clientKey": "key", "computers": {"PC-1": 70}}]}
  // Throws std::invalid_argument saying what is wrong.
  void add_json(const nlohmann::json& document);
  // The same from a file; the message names the file.
  void add_file(const std::filesystem::path& file);

  const Account* find_by_client_key(std::string_view client_key) const;
  // The account with this e-mail, compared without regard to case, or null.
  const Account* find_by_email(std::string_view email) const;
  // The account with this e-mail (compared without regard to case) and
  // password, or null.
  const Account* login(std::string_view email, std::string_view password) const;

  // The id of computer `computer_name` of account `account_id`: the known one,
  // or else a new id, unique in the store, remembered for next time.
  // REQUIRES: `account_id` is an account of the store.
  std::int64_t computer_id(std::int64_t account_id, const std::string& computer_name);

  std::size_t size() const { return accounts_.size(); }

 private:
  Account* find_by_id(std::int64_t id);

  std::vector<Account> accounts_;
  std::int64_t next_computer_id_ = 1001;
};

}  // namespace quillpost::service
