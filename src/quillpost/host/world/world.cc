#include "quillpost/host/world/world.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/os_error.h"

namespace quillpost {
namespace {

// The account and world id files are a few hundred bytes; anything much larger
// is not one of them.
constexpr std::size_t kMaxStateFileBytes = 1 << 20;

// The content of a state file, or nullopt when there is none. OS errors
// propagate (the file is left alone); a file over the size bound comes back
// as it is, to fail its parse.
std::optional<std::string> read_state_file(const std::filesystem::path& path) {
  return read_private_file(path, kMaxStateFileBytes);
}

bool is_uuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

// Moves a file whose content is unusable out of the way, keeping it for
// inspection, and says so in the log.
void set_aside(const std::filesystem::path& path, const std::string& why) {
  auto log = logs::logger("world");
  try {
    const std::filesystem::path aside = move_aside(path);
    log.error("Cannot read %s (%s); moved it to %s", path.string(), why, aside.string());
  } catch (const OsError& e) {
    log.error("Cannot read %s (%s) and cannot move it aside: %s", path.string(), why, e.what());
  }
}

}  // namespace

std::string Account::to_text() const {
  return "Account(email=" + element_text(email) + ", client_key=" +
         (client_key ? "'" + std::string(client_key->size(), '*') + "'" : std::string("None")) +
         ", computer_id=" + quillpost::to_text(computer_id) + ")";
}

std::string new_uuid4() {
  std::random_device device;
  std::array<unsigned char, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const auto word = device();
    for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<unsigned char>(word >> (8 * j));
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::optional<Account> AccountStore::load() const {
  const std::optional<std::string> content = read_state_file(path_);
  if (!content) return std::nullopt;
  std::string why;
  try {
    if (content->size() > kMaxStateFileBytes) throw std::runtime_error("larger than 1 MiB");
    const auto json = nlohmann::json::parse(*content);
    if (!json.is_object()) throw std::runtime_error("not a JSON object");
    Account account;
    if (json.contains("email") && !json["email"].is_null()) {
      account.email = json["email"].get<std::string>();
    }
    if (json.contains("client_key") && !json["client_key"].is_null()) {
      account.client_key = json["client_key"].get<std::string>();
    }
    if (json.contains("computer_id") && !json["computer_id"].is_null()) {
      account.computer_id = json["computer_id"].get<std::int64_t>();
    }
    return account;
  } catch (const std::exception& e) {
    why = e.what();
  }
  set_aside(path_, why);
  return std::nullopt;
}

void AccountStore::save(const Account& account) const {
  nlohmann::json json = nlohmann::json::object();
  json["email"] = account.email ? nlohmann::json(*account.email) : nlohmann::json();
  json["client_key"] = account.client_key ? nlohmann::json(*account.client_key) : nlohmann::json();
  json["computer_id"] =
      account.computer_id ? nlohmann::json(*account.computer_id) : nlohmann::json();
  write_file_atomically(path_, json.dump(2) + "\n");
}

std::string load_or_create_world_id(const std::filesystem::path& path) {
  if (const std::optional<std::string> content = read_state_file(path)) {
    std::string text = *content;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (is_uuid(text)) return text;
    set_aside(path, "not a world id");
  }
  const std::string id = new_uuid4();
  write_file_atomically(path, id + "\n");
  return id;
}

std::optional<Account> initial_account(const RuntimeConfig& config, const AccountStore& store) {
  // Read even when a configured key wins: the account is saved over this file
  // later, so a corrupt one must be reported and set aside now, not lost then.
  std::optional<Account> persisted = store.load();
  if (config.client_key && !config.client_key->empty()) {
    Account account;
    account.email = std::string(AUTH_WITH_CLIENT_KEY_EMAIL);
    account.client_key = config.client_key;
    account.computer_id = config.computer_id;
    return account;
  }
  return persisted;
}

std::string computer_name(const RuntimeConfig& config) {
  if (config.computer && !config.computer->empty()) return *config.computer;
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return "";
  return name.data();
}

bool is_valid_computername(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::pair<std::string, std::string> parse_service_discovery_param_arg(std::string_view text) {
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) throw std::runtime_error("should be in format 'key=value'");
  if (eq == 0) throw std::runtime_error("has an empty key");
  return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

}  // namespace quillpost
