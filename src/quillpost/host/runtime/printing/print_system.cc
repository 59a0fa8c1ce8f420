#include "quillpost/host/runtime/printing/print_system.h"

#include <sys/stat.h>

namespace quillpost::printing {
namespace {

constexpr const char* kSystemSockets[] = {"/run/cups/cups.sock", "/var/run/cups/cups.sock"};

bool is_socket(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

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
