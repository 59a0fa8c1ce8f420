#include "service/accounts.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace quillpost::service {

namespace {

bool same_email(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// Compares in time that does not depend on where the texts first differ.
bool same_secret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

}  // namespace

Account demo_account() {
  return Account{1, "demo@quillpost.test", "demo", "demo-client-key", {}};
}

void AccountStore::add(Account account) {
  if (account.email.empty() || account.password.empty() || account.client_key.empty()) {
    throw std::invalid_argument("account " + std::to_string(account.id) +
                                ": email, password and clientKey must not be empty");
  }
  for (const Account& other : accounts_) {
    if (other.id == account.id) {
      throw std::invalid_argument("account id " + std::to_string(account.id) + " is used twice");
    }
    if (same_email(other.email, account.email)) {
      throw std::invalid_argument("account email " + account.email + " is used twice");
    }
    if (other.client_key == account.client_key) {
      throw std::invalid_argument("accounts " + std::to_string(other.id) + " and " +
                                  std::to_string(account.id) + " share a client key");
    }
  }
  for (const auto& [name, id] : account.computers) {
    next_computer_id_ = std::max(next_computer_id_, id + 1);
  }
  accounts_.push_back(std::move(account));
}

void AccountStore::add_json(const nlohmann::json& document) {
  if (!document.is_object() || !document.contains("accounts") || !document["accounts"].is_array()) {
    throw std::invalid_argument("expected an object with an \"accounts\" list");
  }
  std::size_t index = 0;
  for (const auto& entry : document["accounts"]) {
    const std::string where = "accounts[" + std::to_string(index++) + "]";
    if (!entry.is_object()) {
      throw std::invalid_argument(where + " is not an object");
    }
    auto text = [&](const char* key) {
      auto it = entry.find(key);
      if (it == entry.end() || !it->is_string()) {
        throw std::invalid_argument(where + " needs a text \"" + key + "\"");
      }
      return it->get<std::string>();
    };
    auto id = entry.find("id");
    if (id == entry.end() || !id->is_number_integer()) {
      throw std::invalid_argument(where + " needs an integer \"id\"");
    }
    Account account{
        id->get<std::int64_t>(), text("email"), text("password"), text("clientKey"), {}};
    if (auto computers = entry.find("computers"); computers != entry.end()) {
      if (!computers->is_object()) {
        throw std::invalid_argument(where + ".computers is not an object");
      }
      for (const auto& [name, computer_id] : computers->items()) {
        if (!computer_id.is_number_integer()) {
          throw std::invalid_argument(where + ".computers." + name + " is not an integer");
        }
        account.computers[name] = computer_id.get<std::int64_t>();
      }
    }
    add(std::move(account));
  }
}

void AccountStore::add_file(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) {
    throw std::invalid_argument("cannot read accounts file " + file.string());
  }
  nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
  if (document.is_discarded()) {
    throw std::invalid_argument("accounts file " + file.string() + " is not valid JSON");
  }
  try {
    add_json(document);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument("accounts file " + file.string() + ": " + e.what());
  }
}

const Account* AccountStore::find_by_client_key(std::string_view client_key) const {
  if (client_key.empty()) {
    return nullptr;
  }
  for (const Account& account : accounts_) {
    if (same_secret(account.client_key, client_key)) {
      return &account;
    }
  }
  return nullptr;
}

const Account* AccountStore::find_by_email(std::string_view email) const {
  for (const Account& account : accounts_) {
    if (same_email(account.email, email)) {
      return &account;
    }
  }
  return nullptr;
}

const Account* AccountStore::login(std::string_view email, std::string_view password) const {
  for (const Account& account : accounts_) {
    if (same_email(account.email, email)) {
      return same_secret(account.password, password) ? &account : nullptr;
    }
  }
  return nullptr;
}

Account* AccountStore::find_by_id(std::int64_t id) {
  for (Account& account : accounts_) {
    if (account.id == id) {
      return &account;
    }
  }
  return nullptr;
}

std::int64_t AccountStore::computer_id(std::int64_t account_id, const std::string& computer_name) {
  Account* account = find_by_id(account_id);
  if (account == nullptr) {
    throw std::logic_error("no account " + std::to_string(account_id));
  }
  auto [it, added] = account->computers.try_emplace(computer_name, next_computer_id_);
  if (added) {
    ++next_computer_id_;
  }
  return it->second;
}

}  // namespace quillpost::service
