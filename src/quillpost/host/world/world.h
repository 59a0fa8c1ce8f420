// The shared application state: who logs in, as which computer, from which
// installation and run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quillpost/host/config/records.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost {

// The placeholder e-mail of an account known only by its client key.
inline constexpr std::string_view AUTH_WITH_CLIENT_KEY_EMAIL = "client-key-auth@quillpost.invalid";

// The account the application logs in with.
struct Account {
  std::optional<std::string> email;
  std::optional<std::string> client_key;
  std::optional<std::int64_t> computer_id;

  Account clone() const { return *this; }
  // The client key is a secret and shows only as a run of "*".
  std::string to_text() const;
  bool operator==(const Account&) const = default;
};

struct Computer {
  std::string name;
};

struct WorldConfiguration {
  std::optional<Account> account;
  Computer computer;
  std::string world_id;  // this installation, kept in the settings directory
};

struct WorldState {
  std::string instance_id;  // this run
};

struct World {
  WorldConfiguration configuration;
  WorldState state;
};

// A new random (version 4) UUID in its text form.
std::string new_uuid4();

// The account kept in the settings directory. Saving writes a temporary file,
// syncs it and renames it over the old one, so a crash never leaves half a
// file. A file whose content is not an account is renamed aside
// (".corrupt-<time>") and reported in the log, never silently dropped.
class AccountStore {
 public:
  explicit AccountStore(std::filesystem::path path) : path_(std::move(path)) {}

  // Nullopt when there is no file or its content is not an account (then set
  // aside). Throws OsError, leaving the file alone, when it exists but cannot
  // be read (no permission, a link, not a regular file): saving over it later
  // would lose an account that is only out of reach.
  std::optional<Account> load() const;
  // Throws OsError when the file cannot be written.
  void save(const Account& account) const;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The world id kept in `path`; made and saved when missing or when its content
// is not a world id (then set aside). Throws OsError, leaving the file alone,
// when it exists but cannot be read, or when a new one cannot be saved.
std::string load_or_create_world_id(const std::filesystem::path& path);

// The account to start with: one made from a configured client key (with the
// placeholder e-mail), else the persisted one. The credentials check may still
// replace it.
std::optional<Account> initial_account(const RuntimeConfig& config, const AccountStore& store);

// The computer name: the configured one, else the host name.
std::string computer_name(const RuntimeConfig& config);

// True when the computer name is non-empty and holds only ASCII letters,
// digits, '.' and '-'.
bool is_valid_computername(std::string_view name);

// Splits one "key=value" text at its first '='. The value may be empty and may
// hold further '='. Throws std::runtime_error with a message for the user when
// there is no '=' or the key is empty.
std::pair<std::string, std::string> parse_service_discovery_param_arg(std::string_view text);

}  // namespace quillpost
