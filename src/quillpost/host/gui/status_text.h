// What the window and the tray say about the connection: plain texts, made
// from the status the client publishes, with no GUI toolkit involved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quillpost/host/comms/defs.h"

namespace quillpost::gui {

// The connection as the Status tab shows it. Every text is cleaned (valid
// UTF-8, no control characters) and bounded: the address and the reason come
// from the network.
struct ConnectionView {
  comms::ClientStatus status = comms::ClientStatus::disconnected;
  std::string state;   // "Handshaked", "Disconnected: the server closed the link (next try in 5 s)"
  std::string server;  // "host:port" once known, else empty
  std::optional<std::int64_t> account_id;
  std::optional<std::int64_t> computer_id;
};

ConnectionView connection_view(const comms::Connection& connection);

// The tray icon's tooltip: "QuillPost: <state>".
std::string tooltip(const ConnectionView& view);

// What the tray icon's look says, most urgent first: the person is needed
// (signed out, the newest job failed), a job is on its way to paper, else the
// connection.
enum class TrayLook { needs_you, printing, handshaked, connecting, disconnected };

struct TrayFacts {
  ConnectionView view;
  bool signed_out = false;
  bool job_failed = false;  // the newest job failed
  bool printing = false;    // a job is received, downloading or printing
};

TrayLook tray_look(const TrayFacts& facts);
// "QuillPost: Signed out", "QuillPost: Handshaked; printing a job",
// "QuillPost: Handshaked; a print job failed", else tooltip(view).
std::string tray_tooltip(const TrayFacts& facts);

// "ann@example.com (account 7)", "account 7", the e-mail alone, or "none".
std::string account_text(const std::optional<std::string>& email,
                         const std::optional<std::int64_t>& account_id);

// "print-room (computer 3)", or the name alone.
std::string computer_text(const std::string& name, const std::optional<std::int64_t>& computer_id);

}  // namespace quillpost::gui
