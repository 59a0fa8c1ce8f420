#include "quillpost/host/process/service_credentials.h"

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "quillpost/host/process/os_error.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost {

std::optional<std::string> read_credential(const Getenv& getenv, std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    throw std::invalid_argument("not a credential name: " + std::string(name));
  }
  const std::optional<std::string> dir = read_env(getenv, "CREDENTIALS_DIRECTORY");
  if (!dir || dir->empty() || dir->front() != '/') return std::nullopt;
  const std::filesystem::path path = std::filesystem::path(*dir) / name;
  std::optional<std::string> content = read_private_file(path, kMaxCredentialBytes);
  if (!content) return std::nullopt;
  if (content->size() > kMaxCredentialBytes) {
    throw OsError(std::make_error_code(std::errc::file_too_large),
                  "Credential '" + path.string() + "' is larger than " +
                      std::to_string(kMaxCredentialBytes / 1024) + " KiB");
  }
  if (!content->empty() && content->back() == '\n') content->pop_back();
  if (content->empty()) return std::nullopt;
  return content;
}

}  // namespace quillpost
