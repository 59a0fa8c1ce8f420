// Printing: the printers each computer reports, the jobs queued for it on the
// control endpoint, their offers and statuses on the client socket, the jobs
// file, and the documents served to the computers.
#include <fstream>
#include <sstream>

#include "quillpost/host/base/endpoint_text.h"
#include "quillpost/host/base/text.h"
#include "service/atomic_file.h"
#include "service/printers.h"
#include "service/server_impl.h"

namespace quillpost::service {
namespace {

constexpr std::string_view documents_path = "/v1/documents/";

std::string computer_text(const ComputerKey& key) {
  return "computer '" + escape_control(key.computer) + "' of account " +
         std::to_string(key.account_id);
}

}  // namespace

void Service::Impl::load_jobs() {
  if (options.jobs_file.empty()) return;
  std::ifstream in(options.jobs_file, std::ios::binary);
  if (!in) {
    if (std::filesystem::exists(options.jobs_file)) {
      throw std::runtime_error("cannot read jobs file " + options.jobs_file);
    }
    return;  // a first start: the file comes with the first change
  }
  std::stringstream content;
  content << in.rdbuf();
  ojson document = ojson::parse(content.str(), nullptr, false);
  if (document.is_discarded()) {
    throw std::runtime_error("jobs file " + options.jobs_file + " is not valid JSON");
  }
  try {
    print_book.load(document);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error("jobs file " + options.jobs_file + ": " + e.what());
  }
  // Logged once the service runs: the first line of output is the listening line.
  startup_notes.push_back("jobs file " + options.jobs_file + ": " +
                          print_book.summary()["jobs"].dump());
}

bool Service::Impl::save_jobs() {
  if (options.jobs_file.empty()) return true;
  std::string error = write_file_atomically(options.jobs_file, print_book.to_file().dump(1) + "\n");
  if (!error.empty()) write_log("jobs file not saved: " + error);
  return error.empty();
}

std::string Service::Impl::document_base() const {
  const bool https = https_acceptor.has_value();
  std::string host = options.advertise_host.value_or(options.listen_host);
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(https ? "https://" : "http://") + host + ":" +
         std::to_string(https ? ports.https : ports.http);
}

void Service::Impl::offer(WireConnection& wire, PrintJob& job) {
  ++job.offers;
  wire.send_event("print", offer_payload(job, document_base()));
  if (!job.cancel_requested_at.empty()) {
    wire.send_event("print.cancel", ojson{{"jobId", job.id}});
  }
}

void Service::Impl::offer_open_jobs(WireConnection& wire) {
  const std::string& world = wire.world();
  if (offer_connection(wire.computer(), world) != &wire) return;  // a second run: no offers
  away_since.erase({wire.computer(), world});
  int offered = 0;
  int withdrawn = 0;
  for (PrintJob* job : print_book.jobs_of(wire.computer())) {
    const bool dropped =
        std::find(job->withdrawn.begin(), job->withdrawn.end(), world) != job->withdrawn.end();
    if (!job->final() && job->world.empty()) {
      job->world = world;
    } else if (!job->final() && job->world != world && lease_ended(*job)) {
      write_log("job " + job->id + " moves to installation " + escape_control(world) +
                ": installation " + escape_control(job->world) + " has been away too long");
      print_book.move(*job, world);
    }
    if (!job->final() && job->world == world) {
      offer(wire, *job);
      ++offered;
    } else if (dropped) {
      // Moved on from this installation: it must not print it.
      wire.send_event("print.cancel", ojson{{"jobId", job->id}});
      ++withdrawn;
    }
  }
  if (offered == 0 && withdrawn == 0) return;
  write_log(wire.tag() + " offered " + std::to_string(offered) + " open job(s)" +
            (withdrawn > 0 ? ", withdrew " + std::to_string(withdrawn) : std::string()));
  save_jobs();
}

WireConnection* Service::Impl::offer_connection(const ComputerKey& computer,
                                                const std::string& world) const {
  WireConnection* first = nullptr;
  for (const auto& [id, wire] : wires) {
    if (wire->authenticated() && wire->computer() == computer && wire->world() == world &&
        (first == nullptr || wire->auth_order() < first->auth_order())) {
      first = wire.get();
    }
  }
  return first;
}

WireConnection* Service::Impl::first_installation(const ComputerKey& computer) const {
  WireConnection* first = nullptr;
  for (const auto& [id, wire] : wires) {
    if (wire->authenticated() && wire->computer() == computer &&
        (first == nullptr || wire->auth_order() < first->auth_order())) {
      first = wire.get();
    }
  }
  return first;
}

void Service::Impl::check_installation(WireConnection& wire) {
  authenticating = &wire;
  for (auto& [id, other] : std::map(wires)) {
    if (other.get() == &wire || !other->authenticated() || other->computer() != wire.computer() ||
        other->world() != wire.world()) {
      continue;
    }
    if (other->instance() == wire.instance()) {
      // A client holds one connection: an older one of the same run is dead.
      other->close("replaced by " + wire.tag() + " of the same client");
      continue;
    }
    const std::string text =
        "Two clients with the same settings directory (world id " + wire.world() +
        ") are connected as computer '" + wire.computer().computer +
        "': only the first one connected gets print jobs. Give each installation a settings "
        "directory of its own.";
    write_log(wire.tag() + " and " + other->tag() + " share world id " +
              escape_control(wire.world()) + " with different instance ids");
    other->send_event("warning", ojson{{"message", text}});
    wire.send_event("warning", ojson{{"message", text}});
  }
  authenticating = nullptr;
}

bool Service::Impl::lease_ended(const PrintJob& job) const {
  if (job.world.empty()) return true;
  if (job.state != "queued" && job.state != "received" && job.state != "downloading") {
    return false;  // the printing system may have it: it stays where it is
  }
  if (offer_connection(job.computer, job.world) != nullptr) return false;
  const auto away = away_since.find({job.computer, job.world});
  const Clock::time_point since = away == away_since.end() ? started : away->second;
  return Clock::now() - since >= std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.job_lease));
}

void Service::Impl::on_wire_closed(const ComputerKey& computer, const std::string& world,
                                   std::uint64_t auth_order) {
  if (WireConnection* next = offer_connection(computer, world)) {
    // A later run of the installation is still connected: when the one that
    // had the offers went, it takes them over (one that is authenticating
    // now is offered them by its handshake).
    if (next->auth_order() > auth_order && next != authenticating) offer_open_jobs(*next);
    return;
  }
  away_since[{computer, world}] = Clock::now();
  bool movable = false;
  for (PrintJob* job : print_book.open_jobs(computer)) {
    movable = movable ||
              (job->world == world &&
               (job->state == "queued" || job->state == "received" || job->state == "downloading"));
  }
  if (!movable) return;
  auto timer = std::make_shared<asio::steady_timer>(
      ioc, std::chrono::duration_cast<Clock::duration>(
               std::chrono::duration<double>(options.job_lease) + 50ms));
  timer->async_wait([this, timer, computer](error_code ec) {
    if (!ec) move_expired_jobs(computer);
  });
}

void Service::Impl::move_expired_jobs(const ComputerKey& computer) {
  WireConnection* first = first_installation(computer);
  if (first == nullptr) return;  // the next handshake takes them
  int moved = 0;
  for (PrintJob* job : print_book.open_jobs(computer)) {
    if (job->world.empty() || job->world == first->world() || !lease_ended(*job)) continue;
    write_log("job " + job->id + " moves to installation " + escape_control(first->world()) +
              ": installation " + escape_control(job->world) + " has been away too long");
    print_book.move(*job, first->world());
    offer(*first, *job);
    ++moved;
  }
  if (moved > 0) save_jobs();
}

Reply Service::Impl::control_print(const ojson& body) {
  auto parsed = parse_job_request(body);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    return message_reply(http::status::bad_request, *error);
  }
  const JobRequest& request = std::get<JobRequest>(parsed);
  const Account* account = request.account_email.empty()
                               ? accounts.find_by_email(demo_account().email)
                               : accounts.find_by_email(request.account_email);
  if (account == nullptr) {
    return message_reply(http::status::bad_request,
                         request.account_email.empty()
                             ? "There is no demo account: name the \"account\" by its e-mail."
                             : "No account has the e-mail " + request.account_email + ".");
  }
  auto digest = digest_file(request.file);
  if (auto* error = std::get_if<std::string>(&digest)) {
    return message_reply(http::status::bad_request, *error);
  }
  PrintJob& added =
      print_book.add({account->id, request.computer}, request, std::get<FileDigest>(digest));
  const std::string id = added.id;
  if (!save_jobs()) {
    print_book.remove(id);
    return message_reply(http::status::internal_server_error,
                         "The job could not be saved in the jobs file; see the log.");
  }
  PrintJob& job = *print_book.find(id);
  // One installation gets the offer: the one of the computer connected the
  // longest. Offered to every one, two clones of a computer printed it twice.
  int offered = 0;
  if (WireConnection* wire = first_installation(job.computer)) {
    job.world = wire->world();
    offer(*wire, job);
    offered = 1;
    save_jobs();
  }
  write_log("job " + id + " queued for " + computer_text(job.computer) + ": printer '" +
            escape_control(job.printer) + "', " + std::to_string(job.digest.size) +
            " bytes, offered on " + std::to_string(offered) + " connection(s)");
  return json_reply(http::status::ok, ojson{{"jobId", id}, {"offered", offered}});
}

Reply Service::Impl::control_cancel(const ojson& body) {
  if (!body.is_object() || !body.contains("jobId") || !body["jobId"].is_string()) {
    return message_reply(http::status::bad_request, "Expected {\"jobId\": TEXT}.");
  }
  const std::string id = body["jobId"].get<std::string>();
  switch (print_book.cancel(id)) {
    case PrintBook::Cancel::unknown:
      return message_reply(http::status::not_found, "No job " + id + ".");
    case PrintBook::Cancel::ended:
      return message_reply(http::status::conflict, "Job " + id + " has ended already (" +
                                                       print_book.find(id)->state + ").");
    case PrintBook::Cancel::cancelled:
      save_jobs();
      write_log("job " + id + " cancelled before it was offered");
      return json_reply(http::status::ok,
                        ojson{{"jobId", id}, {"state", "cancelled"}, {"sent", 0}});
    case PrintBook::Cancel::requested:
      break;
  }
  save_jobs();
  PrintJob& job = *print_book.find(id);
  int sent = 0;
  if (WireConnection* wire = offer_connection(job.computer, job.world)) {
    wire->send_event("print.cancel", ojson{{"jobId", id}});
    ++sent;
  }
  write_log("job " + id + " cancel requested, sent on " + std::to_string(sent) + " connection(s)");
  return json_reply(http::status::ok, ojson{{"jobId", id}, {"state", job.state}, {"sent", sent}});
}

void Service::Impl::on_printers(WireConnection& wire, const ojson& payload) {
  print_book.count_printer_message(wire.computer(), "printers", payload.dump().size());
  auto checked = validate_printers(payload);
  if (auto* error = std::get_if<std::string>(&checked)) {
    write_log(wire.tag() + " printers refused: " + escape_control(*error));
    return;
  }
  const std::size_t count = std::get<ojson>(checked).size();
  const bool truncated = payload.value("truncated", false);
  print_book.set_printers(wire.computer(), std::get<ojson>(std::move(checked)), truncated);
  save_jobs();
  write_log(wire.tag() + " printers of " + computer_text(wire.computer()) + ": " +
            std::to_string(count) + (truncated ? " (cut by the client)" : ""));
}

void Service::Impl::on_printer_states(WireConnection& wire, const ojson& payload) {
  print_book.count_printer_message(wire.computer(), "printers.state", payload.dump().size());
  auto checked = validate_printer_states(payload);
  std::string error;
  if (auto* refused = std::get_if<std::string>(&checked)) {
    error = *refused;
  } else if (print_book.set_printer_states(wire.computer(), std::get<ojson>(checked), error)) {
    save_jobs();
    std::string changes;
    for (const ojson& printer : std::get<ojson>(checked)) {
      changes += (changes.empty() ? "" : ", ") +
                 escape_control(printer["name"].get<std::string>()) + " " +
                 printer["state"].get<std::string>();
    }
    write_log(wire.tag() + " printers.state of " + computer_text(wire.computer()) + ": " + changes);
    return;
  }
  write_log(wire.tag() + " printers.state refused: " + escape_control(error));
}

void Service::Impl::on_scales(WireConnection& wire, const ojson& payload) {
  auto checked = validate_scales(payload);
  if (auto* error = std::get_if<std::string>(&checked)) {
    write_log(wire.tag() + " scales refused: " + escape_control(*error));
    return;
  }
  const std::size_t count = std::get<ojson>(checked).at("scales").size();
  const bool enabled = std::get<ojson>(checked).at("enabled").get<bool>();
  scale_book.set_scales(wire.computer(), std::get<ojson>(std::move(checked)));
  write_log(wire.tag() + " scales of " + computer_text(wire.computer()) + ": " +
            std::to_string(count) + (enabled ? " (enabled)" : " (disabled)"));
}

void Service::Impl::on_scale_reading(WireConnection& wire, const ojson& payload) {
  auto checked = validate_scale_reading(payload);
  std::string error;
  if (auto* refused = std::get_if<std::string>(&checked)) {
    error = *refused;
  } else {
    const ojson& reading = std::get<ojson>(checked);
    const std::string line =
        escape_control(reading.at("scale").get<std::string>()) + " " +
        reading.at("status").get<std::string>() + " " +
        (reading.at("grams").is_null() ? std::string("-")
                                       : reading.at("grams").get<std::string>() + " g");
    if (scale_book.set_reading(wire.computer(), std::get<ojson>(std::move(checked)), error)) {
      write_log(wire.tag() + " scale.reading " + line);
      return;
    }
  }
  write_log(wire.tag() + " scale.reading refused: " + escape_control(error));
}

void Service::Impl::on_scale_result(WireConnection& wire, const std::string& event,
                                    const ojson& payload) {
  scale_book.set_result(wire.computer(), event, payload);
  write_log(wire.tag() + " " + event + " " + escape_control(payload.dump().substr(0, 512)));
}

void Service::Impl::on_print_status(WireConnection& wire, const ojson& payload) {
  auto parsed = parse_job_status(payload);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    write_log(wire.tag() + " print.status refused: " + escape_control(*error));
    return;
  }
  const JobStatus& status = std::get<JobStatus>(parsed);
  const std::string what = "job " + status.job_id + " " + status.state;
  switch (print_book.apply(wire.computer(), wire.world(), status)) {
    case PrintBook::Update::unknown:
      write_log(wire.tag() + " print.status for unknown job " + status.job_id + " ignored");
      break;
    case PrintBook::Update::not_holder:
      write_log(wire.tag() + " print.status " + what +
                " ignored: the job is with another installation");
      break;
    case PrintBook::Update::released:
      save_jobs();
      write_log(wire.tag() + " has dropped job " + status.job_id + " (" + status.state + ")");
      break;
    case PrintBook::Update::ended:
      write_log(wire.tag() + " print.status " + what + " ignored: the job has ended as " +
                print_book.find(status.job_id)->state);
      break;
    case PrintBook::Update::unchanged:
      break;
    case PrintBook::Update::changed:
      save_jobs();
      write_log(wire.tag() + " " + what +
                (status.printer_job_id
                     ? " (printer job " + std::to_string(*status.printer_job_id) + ")"
                     : std::string()) +
                (status.reason.empty() ? std::string() : ": " + escape_control(status.reason)));
      break;
  }
}

Reply Service::Impl::serve_document(const Target& target, std::string_view raw_target,
                                    const asio::ip::address& peer) {
  const std::string id = target.path.substr(documents_path.size());
  std::string token;
  bool redirected = false;
  for (const auto& [key, value] : target.query) {
    if (key == "token") token = value;
    if (key == "redirected") redirected = true;
  }
  PrintJob* job = valid_job_id(id) ? print_book.find(id) : nullptr;
  // An unknown job and a wrong token get the same answer.
  if (job == nullptr || !same_token(token, job->token)) {
    write_log("document request from " + peer.to_string() + " refused: unknown job or wrong token");
    return message_reply(http::status::not_found, "No such document.");
  }
  const std::string& fault = options.faults.get("document");
  write_log("document " + id + " requested from " + peer.to_string() +
            (fault == "ok" ? "" : " (fault document=" + fault + ")"));
  if (fault == "404") return message_reply(http::status::not_found, "No such document.");
  if (fault == "500") {
    return message_reply(http::status::internal_server_error,
                         "Internal error (fault document=500).");
  }
  if (fault == "503") {
    Reply busy = message_reply(http::status::service_unavailable,
                               "Unavailable for a moment (fault document=503).");
    busy.retry_after = "2";
    return busy;
  }
  if (fault == "hang") return hang_reply();
  if (fault == "redirect-loop" || (fault == "redirect" && !redirected)) {
    Reply moved = message_reply(http::status::found, "The document is elsewhere.");
    moved.location =
        document_base() + std::string(raw_target) + (fault == "redirect" ? "&redirected=1" : "");
    return moved;
  }
  auto reader = std::make_shared<DocumentReader>(job->file, fault == "corrupt");
  if (!reader->ok()) {
    write_log("document " + id + " cannot be served: " + escape_control(reader->error()));
    return message_reply(http::status::internal_server_error, "The document cannot be read.");
  }
  Reply reply;
  reply.document = reader;
  reply.content_type = job->content_type;
  reply.document_job = id;
  if (fault == "truncated") {
    reader->limit(reader->size() / 2);
    reply.cut_short = true;
  }
  return reply;
}

}  // namespace quillpost::service
