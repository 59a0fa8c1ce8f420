#include "service/print_jobs.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <set>
#include <stdexcept>

#include "quillpost/host/comms/print_protocol.h"
#include "service/printers.h"

namespace quillpost::service {
namespace {

constexpr std::array<std::string_view, 7> client_states{
    "received", "downloading", "printing", "completed", "failed", "cancelled", "unknown"};
constexpr std::size_t max_title_chars = 255;
constexpr std::size_t max_reason_chars = 1024;
constexpr int max_copies = 999;

// Thrown inside the checks with the text of what is wrong.
struct Refused {
  std::string text;
};

// `text` cut to at most `chars` characters, at a character boundary.
std::string cut(std::string text, std::size_t chars) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == chars) {
      text.resize(i);
      break;
    }
  }
  return text;
}

bool printable_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

std::string required_text(const ojson& body, const char* key, std::size_t max_chars) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
    throw Refused{std::string("\"") + key + "\" must be a non-empty text"};
  }
  const std::string& value = it->get_ref<const std::string&>();
  if (utf8_length(value) > max_chars || value.find('\0') != std::string::npos) {
    throw Refused{std::string("\"") + key + "\" is over " + std::to_string(max_chars) +
                  " characters or holds a NUL"};
  }
  return value;
}

std::string optional_text(const ojson& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) return {};
  if (!it->is_string()) throw Refused{std::string("\"") + key + "\" must be a text"};
  return it->get<std::string>();
}

// A MIME type goes into a header of the document's answer: printable ASCII
// with a slash, nothing that could end the header line.
bool valid_content_type(std::string_view type) {
  return !type.empty() && type.size() <= 255 && printable_ascii(type) &&
         type.find('/') != std::string_view::npos;
}

std::string guess_content_type(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".pdf") return "application/pdf";
  if (ext == ".ps") return "application/postscript";
  if (ext == ".txt") return "text/plain";
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  return "application/octet-stream";
}

ojson parse_options(const ojson& options) {
  if (!options.is_object()) throw Refused{"\"options\" must be an object"};
  struct Allowed {
    const char* key;
    std::vector<std::string_view> values;  // empty: any text of the charset below
    std::string_view charset;
  };
  static const std::array<Allowed, 4> allowed{{
      {"media", {}, "abcdefghijklmnopqrstuvwxyz0123456789_.-"},
      {"sides", {"one-sided", "two-sided-long-edge", "two-sided-short-edge"}, ""},
      {"colorMode", {"color", "monochrome", "auto"}, ""},
      {"pageRanges", {}, "0123456789,-"},
  }};
  ojson kept = ojson::object();
  for (const auto& [key, value] : options.items()) {
    auto known = std::find_if(allowed.begin(), allowed.end(),
                              [&](const Allowed& a) { return key == a.key; });
    if (known == allowed.end()) {
      throw Refused{"unknown option \"" + key + "\" (media, sides, colorMode, pageRanges)"};
    }
    if (!value.is_string()) throw Refused{"option \"" + key + "\" must be a text"};
    const std::string& text = value.get_ref<const std::string&>();
    const bool ok =
        known->values.empty()
            ? !text.empty() && text.size() <= 255 &&
                  text.find_first_not_of(known->charset) == std::string::npos
            : std::find(known->values.begin(), known->values.end(), text) != known->values.end();
    if (!ok) throw Refused{"option \"" + key + "\" has a value it cannot take: \"" + text + "\""};
    kept[key] = text;
  }
  return kept;
}

bool is_sha256_hex(std::string_view text) {
  return comms::print::is_sha256_hex(text);
}

ojson job_json(const PrintJob& job, bool with_token) {
  ojson j{{"jobId", job.id},
          {"accountId", job.computer.account_id},
          {"computer", job.computer.computer},
          {"printer", job.printer},
          {"title", job.title},
          {"contentType", job.content_type},
          {"file", job.file},
          {"size", job.digest.size},
          {"sha256", job.digest.sha256}};
  if (job.declared_size) j["declaredSize"] = *job.declared_size;
  if (job.declared_sha256) j["declaredSha256"] = *job.declared_sha256;
  j["copies"] = job.copies;
  j["options"] = job.options;
  if (with_token) j["token"] = job.token;
  j["state"] = job.state;
  j["printerJobId"] = job.printer_job_id ? ojson(*job.printer_job_id) : ojson(nullptr);
  j["reason"] = job.reason;
  j["cancelRequestedAt"] =
      job.cancel_requested_at.empty() ? ojson(nullptr) : ojson(job.cancel_requested_at);
  j["offers"] = job.offers;
  j["history"] = job.history;
  j["world"] = job.world.empty() ? ojson(nullptr) : ojson(job.world);
  j["held"] = job.held;
  j["withdrawn"] = job.withdrawn;
  return j;
}

PrintJob job_from_json(const ojson& j) {
  PrintJob job;
  job.id = j.at("jobId").get<std::string>();
  if (!valid_job_id(job.id)) throw Refused{"a job id is not valid"};
  job.computer = {j.at("accountId").get<std::int64_t>(), j.at("computer").get<std::string>()};
  job.printer = j.at("printer").get<std::string>();
  job.title = j.at("title").get<std::string>();
  job.content_type = j.at("contentType").get<std::string>();
  if (!valid_content_type(job.content_type)) throw Refused{"job " + job.id + ": bad contentType"};
  job.file = j.at("file").get<std::string>();
  job.digest = {j.at("size").get<std::uint64_t>(), j.at("sha256").get<std::string>()};
  if (j.contains("declaredSize")) job.declared_size = j["declaredSize"].get<std::uint64_t>();
  if (j.contains("declaredSha256")) job.declared_sha256 = j["declaredSha256"].get<std::string>();
  job.copies = j.at("copies").get<int>();
  job.options = parse_options(j.at("options"));
  job.token = j.at("token").get<std::string>();
  if (job.token.size() < 32) throw Refused{"job " + job.id + ": the token is too short"};
  job.state = j.at("state").get<std::string>();
  if (job.state != "queued" &&
      std::find(client_states.begin(), client_states.end(), job.state) == client_states.end()) {
    throw Refused{"job " + job.id + ": unknown state " + job.state};
  }
  if (!j.at("printerJobId").is_null()) job.printer_job_id = j["printerJobId"].get<std::int64_t>();
  job.reason = j.at("reason").get<std::string>();
  if (!j.at("cancelRequestedAt").is_null()) {
    job.cancel_requested_at = j["cancelRequestedAt"].get<std::string>();
  }
  job.offers = j.at("offers").get<int>();
  job.history = j.at("history");
  if (!job.history.is_array()) throw Refused{"job " + job.id + ": history is not a list"};
  // Files of earlier versions have no installations: the jobs are with none.
  if (j.contains("world") && !j["world"].is_null()) job.world = j["world"].get<std::string>();
  job.held = j.value("held", false);
  if (j.contains("withdrawn")) job.withdrawn = j["withdrawn"].get<std::vector<std::string>>();
  return job;
}

}  // namespace

bool valid_job_id(std::string_view id) {
  return comms::print::is_job_id(id);
}

bool is_final_state(std::string_view state) {
  return state == "completed" || state == "failed" || state == "cancelled" || state == "unknown";
}

std::string redact_tokens(std::string text) {
  static constexpr std::string_view marker = "token=";
  for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
    at += marker.size();
    const auto end = text.find_first_of("&\" \\", at);
    text.replace(at, (end == std::string::npos ? text.size() : end) - at, "***");
  }
  return text;
}

std::string utc_time_text(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(time);
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms));
  return text;
}

std::variant<JobRequest, std::string> parse_job_request(const ojson& body) {
  if (!body.is_object()) return std::string("expected a JSON object");
  static const std::set<std::string, std::less<>> keys{
      "account",     "computer", "printer", "file",         "title",
      "contentType", "copies",   "options", "declaredSize", "declaredSha256"};
  JobRequest request;
  try {
    for (const auto& item : body.items()) {
      if (!keys.contains(item.key())) throw Refused{"unknown key \"" + item.key() + "\""};
    }
    request.account_email = optional_text(body, "account");
    request.computer = required_text(body, "computer", max_printer_text_chars);
    request.printer = required_text(body, "printer", max_printer_text_chars);
    request.file = required_text(body, "file", 4096);
    if (!request.file.is_absolute()) throw Refused{"\"file\" must be an absolute path"};
    request.title = cut(optional_text(body, "title"), max_title_chars);
    if (request.title.empty())
      request.title = cut(request.file.filename().string(), max_title_chars);
    request.content_type = optional_text(body, "contentType");
    if (request.content_type.empty()) request.content_type = guess_content_type(request.file);
    if (!valid_content_type(request.content_type)) {
      throw Refused{"\"contentType\" must be a MIME type such as application/pdf"};
    }
    if (auto it = body.find("copies"); it != body.end()) {
      if (!it->is_number_integer() || it->get<std::int64_t>() < 1 ||
          it->get<std::int64_t>() > max_copies) {
        throw Refused{"\"copies\" must be an integer from 1 to 999"};
      }
      request.copies = it->get<int>();
    }
    if (auto it = body.find("options"); it != body.end()) request.options = parse_options(*it);
    if (auto it = body.find("declaredSize"); it != body.end()) {
      if (!it->is_number_unsigned()) throw Refused{"\"declaredSize\" must be a byte count"};
      request.declared_size = it->get<std::uint64_t>();
    }
    if (auto it = body.find("declaredSha256"); it != body.end()) {
      if (!it->is_string() || !is_sha256_hex(it->get_ref<const std::string&>())) {
        throw Refused{"\"declaredSha256\" must be 64 lower-case hex digits"};
      }
      request.declared_sha256 = it->get<std::string>();
    }
  } catch (const Refused& refused) {
    return refused.text;
  }
  return request;
}

std::variant<JobStatus, std::string> parse_job_status(const ojson& payload) {
  if (!payload.is_object()) return std::string("the payload is not an object");
  JobStatus status;
  auto id = payload.find("jobId");
  if (id == payload.end() || !id->is_string() || !valid_job_id(id->get_ref<const std::string&>())) {
    return std::string("jobId is not a job id");
  }
  status.job_id = id->get<std::string>();
  auto state = payload.find("state");
  if (state == payload.end() || !state->is_string() ||
      std::find(client_states.begin(), client_states.end(), state->get_ref<const std::string&>()) ==
          client_states.end()) {
    return "state of job " + status.job_id + " is not one of the seven job states";
  }
  status.state = state->get<std::string>();
  if (auto n = payload.find("printerJobId"); n != payload.end() && !n->is_null()) {
    if (!n->is_number_integer()) return "printerJobId of job " + status.job_id + " is no integer";
    status.printer_job_id = n->get<std::int64_t>();
  }
  if (auto reason = payload.find("reason"); reason != payload.end() && !reason->is_null()) {
    if (!reason->is_string()) return "reason of job " + status.job_id + " is not a text";
    // Cut rather than refused: a long reason must not cost the job its
    // final state. A document URL quoted in it loses its token.
    status.reason = redact_tokens(cut(reason->get<std::string>(), max_reason_chars));
  }
  return status;
}

ojson offer_payload(const PrintJob& job, const std::string& document_base) {
  ojson offer{{"jobId", job.id},
              {"printer", job.printer},
              {"title", job.title},
              {"url", document_base + "/v1/documents/" + job.id + "?token=" + job.token},
              {"contentType", job.content_type},
              {"size", job.declared_size.value_or(job.digest.size)},
              {"sha256", job.declared_sha256.value_or(job.digest.sha256)},
              {"copies", job.copies}};
  if (!job.options.empty()) offer["options"] = job.options;
  return offer;
}

PrintJob& PrintBook::add(ComputerKey computer, const JobRequest& request,
                         const FileDigest& digest) {
  PrintJob job;
  // The counter orders the ids for people; the random part keeps a restarted
  // service without a jobs file from handing out an id a client already knows.
  job.id = "j-" + std::to_string(next_job_++) + "-" + random_hex(4);
  job.computer = std::move(computer);
  job.printer = request.printer;
  job.title = request.title;
  job.content_type = request.content_type;
  job.file = request.file.string();
  job.digest = digest;
  job.declared_size = request.declared_size;
  job.declared_sha256 = request.declared_sha256;
  job.copies = request.copies;
  job.options = request.options;
  job.token = random_token();
  record(job);
  jobs_.push_back(std::move(job));
  return jobs_.back();
}

void PrintBook::remove(std::string_view id) {
  std::erase_if(jobs_, [&](const PrintJob& job) { return job.id == id; });
}

PrintJob* PrintBook::find(std::string_view id) {
  auto it = std::find_if(jobs_.begin(), jobs_.end(), [&](const PrintJob& j) { return j.id == id; });
  return it == jobs_.end() ? nullptr : &*it;
}

std::vector<PrintJob*> PrintBook::open_jobs(const ComputerKey& computer) {
  std::vector<PrintJob*> open;
  for (PrintJob& job : jobs_) {
    if (job.computer == computer && !job.final()) open.push_back(&job);
  }
  return open;
}

std::vector<PrintJob*> PrintBook::jobs_of(const ComputerKey& computer) {
  std::vector<PrintJob*> jobs;
  for (PrintJob& job : jobs_) {
    if (job.computer == computer) jobs.push_back(&job);
  }
  return jobs;
}

void PrintBook::move(PrintJob& job, const std::string& world) {
  if (!job.world.empty() &&
      std::find(job.withdrawn.begin(), job.withdrawn.end(), job.world) == job.withdrawn.end()) {
    job.withdrawn.push_back(job.world);
  }
  std::erase(job.withdrawn, world);
  job.world = world;
  job.held = false;
  job.token = random_token();
}

PrintBook::Update PrintBook::apply(const ComputerKey& from, const std::string& world,
                                   const JobStatus& status) {
  PrintJob* job = find(status.job_id);
  if (job == nullptr || job->computer != from) return Update::unknown;
  if (!job->world.empty() && job->world != world) {
    if (is_final_state(status.state) && std::erase(job->withdrawn, world) > 0) {
      return Update::released;
    }
    return Update::not_holder;
  }
  // The installation the job was offered to holds it from its first answer
  // on (a job of an older jobs file goes to the first that answers).
  const bool claimed = !job->held;
  job->world = world;
  job->held = true;
  if (job->final()) {
    if (job->state == status.state) return claimed ? Update::changed : Update::unchanged;
    return Update::ended;
  }
  if (job->state == status.state && job->reason == status.reason &&
      (!status.printer_job_id || status.printer_job_id == job->printer_job_id)) {
    return claimed ? Update::changed : Update::unchanged;
  }
  job->state = status.state;
  if (status.printer_job_id) job->printer_job_id = status.printer_job_id;
  job->reason = status.reason;
  record(*job);
  return Update::changed;
}

PrintBook::Cancel PrintBook::cancel(std::string_view id) {
  PrintJob* job = find(id);
  if (job == nullptr) return Cancel::unknown;
  if (job->final()) return Cancel::ended;
  job->cancel_requested_at = utc_time_text(std::chrono::system_clock::now());
  if (job->offers > 0) return Cancel::requested;
  job->state = "cancelled";
  job->reason = "Cancelled before it was offered to the computer.";
  record(*job);
  return Cancel::cancelled;
}

void PrintBook::set_printers(const ComputerKey& computer, ojson printers, bool truncated) {
  Printers& kept = printers_[computer];
  kept.list = std::move(printers);
  kept.updated_at = utc_time_text(std::chrono::system_clock::now());
  kept.truncated = truncated;
}

bool PrintBook::set_printer_states(const ComputerKey& computer, const ojson& states,
                                   std::string& error) {
  auto kept = printers_.find(computer);
  if (kept == printers_.end()) {
    error = "the computer has sent no printer list";
    return false;
  }
  std::vector<ojson*> targets;
  for (const ojson& state : states) {
    ojson* target = nullptr;
    for (ojson& printer : kept->second.list) {
      if (printer["name"] == state["name"]) target = &printer;
    }
    if (target == nullptr) {
      error = "printer '" + state["name"].get<std::string>() + "' is not in the computer's list";
      return false;
    }
    targets.push_back(target);
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (const char* key : {"state", "stateReasons", "acceptingJobs"}) {
      (*targets[i])[key] = states[i][key];
    }
  }
  kept->second.updated_at = utc_time_text(std::chrono::system_clock::now());
  return true;
}

void PrintBook::count_printer_message(const ComputerKey& computer, std::string_view event,
                                      std::size_t bytes) {
  Printers& kept = printers_[computer];
  ++(event == "printers" ? kept.lists : kept.state_changes);
  kept.bytes += bytes;
}

void PrintBook::record(PrintJob& job) {
  job.history.push_back(
      ojson{{"state", job.state},
            {"at", utc_time_text(std::chrono::system_clock::now())},
            {"printerJobId", job.printer_job_id ? ojson(*job.printer_job_id) : ojson(nullptr)},
            {"reason", job.reason}});
}

ojson PrintBook::to_file() const {
  ojson jobs = ojson::array();
  for (const PrintJob& job : jobs_) jobs.push_back(job_json(job, true));
  ojson computers = ojson::array();
  for (const auto& [key, printers] : printers_) {
    computers.push_back(ojson{{"accountId", key.account_id},
                              {"computer", key.computer},
                              {"updatedAt", printers.updated_at},
                              {"truncated", printers.truncated},
                              {"printers", printers.list}});
  }
  return ojson{{"version", 1}, {"nextJob", next_job_}, {"jobs", jobs}, {"computers", computers}};
}

void PrintBook::load(const ojson& document) {
  PrintBook loaded;
  try {
    if (!document.is_object() || document.value("version", 0) != 1) {
      throw Refused{"not a version 1 jobs document"};
    }
    loaded.next_job_ = document.at("nextJob").get<std::uint64_t>();
    for (const ojson& j : document.at("jobs")) {
      PrintJob job = job_from_json(j);
      if (loaded.find(job.id) != nullptr) throw Refused{"job " + job.id + " is listed twice"};
      loaded.jobs_.push_back(std::move(job));
    }
    for (const ojson& c : document.at("computers")) {
      auto checked = validate_printers(ojson{{"printers", c.at("printers")}});
      if (auto* error = std::get_if<std::string>(&checked)) throw Refused{*error};
      Printers& kept = loaded.printers_[{c.at("accountId").get<std::int64_t>(),
                                         c.at("computer").get<std::string>()}];
      kept.list = std::get<ojson>(std::move(checked));
      kept.updated_at = c.at("updatedAt").get<std::string>();
      kept.truncated = c.value("truncated", false);
    }
  } catch (const Refused& refused) {
    throw std::invalid_argument(refused.text);
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument(e.what());
  }
  loaded.next_job_ = std::max<std::uint64_t>(loaded.next_job_, loaded.jobs_.size() + 1);
  *this = std::move(loaded);
}

ojson PrintBook::jobs_view(const std::optional<std::string>& job_id) const {
  ojson jobs = ojson::array();
  for (const PrintJob& job : jobs_) {
    if (!job_id || job.id == *job_id) jobs.push_back(job_json(job, false));
  }
  return ojson{{"jobs", jobs}};
}

ojson PrintBook::printers_view() const {
  ojson computers = ojson::array();
  for (const auto& [key, printers] : printers_) {
    computers.push_back(ojson{{"accountId", key.account_id},
                              {"computer", key.computer},
                              {"updatedAt", printers.updated_at},
                              {"truncated", printers.truncated},
                              {"messages",
                               {{"printers", printers.lists},
                                {"printers.state", printers.state_changes},
                                {"bytes", printers.bytes}}},
                              {"printers", printers.list}});
  }
  return ojson{{"computers", computers}};
}

ojson PrintBook::summary() const {
  ojson computers = ojson::array();
  for (const auto& [key, printers] : printers_) {
    computers.push_back(ojson{{"accountId", key.account_id},
                              {"computer", key.computer},
                              {"printers", printers.list.size()},
                              {"updatedAt", printers.updated_at}});
  }
  ojson states = ojson::object();
  for (const PrintJob& job : jobs_) {
    states[job.state] = states.value(job.state, 0) + 1;
  }
  return ojson{{"computers", computers}, {"jobs", {{"total", jobs_.size()}, {"states", states}}}};
}

}  // namespace quillpost::service
