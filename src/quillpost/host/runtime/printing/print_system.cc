#include "quillpost/host/runtime/printing/print_system.h"

#include <sys/stat.h>

#include <algorithm>

namespace quillpost::printing {
namespace {

constexpr const char* kSystemSockets[] = {"/run/cups/cups.sock", "/var/run/cups/cups.sock"};

bool is_socket(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

bool SystemJob::has_reason(std::string_view reason) const {
  return std::find(reasons.begin(), reasons.end(), reason) != reasons.end();
}

bool is_final(SystemJob::State state) {
  return state == SystemJob::State::canceled || state == SystemJob::State::aborted ||
         state == SystemJob::State::completed;
}

std::optional<std::string> find_print_server(const Getenv& getenv) {
  if (const auto server = read_env(getenv, "CUPS_SERVER"); server && !server->empty()) {
    if (server->front() != '/') return *server;  // a host: its presence shows on the first call
    if (is_socket(*server)) return *server;
    return std::nullopt;
  }
  for (const char* path : kSystemSockets) {
    if (is_socket(path)) return std::string(path);
  }
  return std::nullopt;
}

}  // namespace quillpost::printing
