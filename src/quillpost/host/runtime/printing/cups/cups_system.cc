// The printing system through libcups: the scheduler's printers, and jobs
// created, streamed, followed, found and cancelled with IPP requests on a
// connection of our own (never libcups' default one, which waits two minutes
// on a hung scheduler).
#include <cups/cups.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>

#include "quillpost/host/runtime/printing/print_system.h"

namespace quillpost::printing {
namespace {

// Bytes read from the document for each write to the scheduler.
constexpr std::size_t kChunkBytes = 128 * 1024;
// How long the scheduler keeps a job's event subscription: a job that waits
// longer (a printer paused for a day) and then vanishes has an unknown end.
constexpr int kSubscriptionLeaseSeconds = 24 * 3600;

constexpr const char* kJobAttributes[] = {"job-id",
                                          "job-name",
                                          "job-uuid",
                                          "job-state",
                                          "job-state-reasons",
                                          "job-state-message",
                                          "number-of-documents",
                                          "time-at-processing"};

struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string last_error_text() {
  const char* text = cupsLastErrorString();
  return text ? text : "";
}

std::string printer_uri(const std::string& printer) {
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", printer.c_str());
  return uri;
}

std::string job_uri(std::int64_t job_id) {
  char uri[256];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/jobs/%lld", static_cast<long long>(job_id));
  return uri;
}

IppPtr new_request(ipp_op_t op, const char* uri_name, const std::string& uri) {
  IppPtr request(ippNewRequest(op));
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, uri_name, nullptr, uri.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

void add_requested(ipp_t* request, const std::vector<const char*>& names) {
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(names.size()), nullptr, names.data());
}

void add_job_attributes(ipp_t* request) {
  add_requested(request,
                std::vector<const char*>(std::begin(kJobAttributes), std::end(kJobAttributes)));
}

std::vector<std::string> strings(ipp_attribute_t* attr) {
  std::vector<std::string> out;
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    if (const char* s = ippGetString(attr, i, nullptr)) out.emplace_back(s);
  }
  return out;
}

std::vector<std::string> reasons(ipp_attribute_t* attr) {
  std::vector<std::string> out = strings(attr);
  std::erase(out, "none");
  return out;
}

// The attributes of one printer or job of an answer, read in place.
struct Group {
  std::vector<ipp_attribute_t*> attrs;
  ipp_attribute_t* find(std::string_view name) const {
    for (ipp_attribute_t* attr : attrs) {
      if (name == ippGetName(attr)) return attr;
    }
    return nullptr;
  }
  std::string text(std::string_view name) const {
    const char* s = ippGetString(find(name), 0, nullptr);
    return s ? s : "";
  }
  int integer(std::string_view name) const { return ippGetInteger(find(name), 0); }
  bool boolean(std::string_view name) const { return ippGetBoolean(find(name), 0) != 0; }
};

// Calls fn(group) for each group tagged `tag` of `ipp`; consecutive groups
// are separated by an attribute without a name.
template <typename Fn>
void for_each_group(ipp_t* ipp, ipp_tag_t tag, Fn fn) {
  Group group;
  for (ipp_attribute_t* attr = ippFirstAttribute(ipp); attr; attr = ippNextAttribute(ipp)) {
    if (ippGetGroupTag(attr) == tag && ippGetName(attr)) {
      group.attrs.push_back(attr);
    } else if (!group.attrs.empty()) {
      fn(group);
      group.attrs.clear();
    }
  }
  if (!group.attrs.empty()) fn(group);
}

PrinterState printer_state(int value) {
  if (value == IPP_PSTATE_PROCESSING) return PrinterState::printing;
  if (value == IPP_PSTATE_STOPPED) return PrinterState::stopped;
  return PrinterState::idle;
}

SystemJob::State job_state(int value) {
  switch (value) {
    case IPP_JSTATE_HELD:
      return SystemJob::State::held;
    case IPP_JSTATE_PROCESSING:
      return SystemJob::State::processing;
    case IPP_JSTATE_STOPPED:
      return SystemJob::State::stopped;
    case IPP_JSTATE_CANCELED:
      return SystemJob::State::canceled;
    case IPP_JSTATE_ABORTED:
      return SystemJob::State::aborted;
    case IPP_JSTATE_COMPLETED:
      return SystemJob::State::completed;
    default:
      return SystemJob::State::pending;
  }
}

SystemJob read_job(const Group& group) {
  SystemJob job;
  job.id = group.integer("job-id");
  job.name = group.text("job-name");
  job.state = job_state(group.integer("job-state"));
  job.reasons = reasons(group.find("job-state-reasons"));
  job.message = group.text("job-state-message");
  job.uuid = group.text("job-uuid");
  job.documents = group.integer("number-of-documents");
  // An integer once the printer started on it; "no-value" before.
  if (ipp_attribute_t* at = group.find("time-at-processing");
      at && ippGetValueTag(at) == IPP_TAG_INTEGER) {
    job.processing_at = ippGetInteger(at, 0);
  }
  return job;
}

Capabilities read_capabilities(ipp_t* answer) {
  Capabilities caps;
  if (ipp_attribute_t* media = ippFindAttribute(answer, "media-supported", IPP_TAG_ZERO)) {
    caps.media = strings(media);
  }
  if (ipp_attribute_t* color = ippFindAttribute(answer, "color-supported", IPP_TAG_BOOLEAN)) {
    caps.color = ippGetBoolean(color, 0) != 0;
  }
  if (ipp_attribute_t* sides = ippFindAttribute(answer, "sides-supported", IPP_TAG_KEYWORD)) {
    const auto list = strings(sides);
    caps.duplex = std::any_of(list.begin(), list.end(),
                              [](const std::string& s) { return s.starts_with("two-sided"); });
  }
  if (ipp_attribute_t* copies = ippFindAttribute(answer, "copies-supported", IPP_TAG_RANGE)) {
    int upper = 0;
    const int lower = ippGetRange(copies, 0, &upper);
    caps.copies = std::make_pair(std::int64_t{lower}, std::int64_t{upper});
  }
  if (ipp_attribute_t* formats =
          ippFindAttribute(answer, "document-format-supported", IPP_TAG_MIMETYPE)) {
    caps.document_formats = strings(formats);
  }
  return caps;
}

class CupsSystem final : public PrintSystem {
 public:
  explicit CupsSystem(PrintSystemSettings settings) : settings_(std::move(settings)) {
    // libcups keeps the server per thread: this is the thread that uses it.
    if (!settings_.server.empty()) cupsSetServer(settings_.server.c_str());
  }
  ~CupsSystem() override { close(); }

  SystemError printers(std::vector<Printer>& out) override {
    out.clear();
    IppPtr request(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    add_requested(request.get(),
                  {"printer-name", "printer-info", "printer-location", "printer-make-and-model",
                   "printer-state", "printer-state-reasons", "printer-is-accepting-jobs",
                   "printer-type", "printer-config-change-time"});
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) {
      // A scheduler without printers answers "not found".
      if (error.kind == SystemError::Kind::not_found) {
        capabilities_.clear();
        return {};
      }
      return error;
    }
    std::map<std::string, int> config_times;
    for_each_group(answer.get(), IPP_TAG_PRINTER, [&](const Group& group) {
      Printer printer;
      printer.name = group.text("printer-name");
      if (printer.name.empty()) return;
      printer.description = group.text("printer-info");
      printer.location = group.text("printer-location");
      printer.make_and_model = group.text("printer-make-and-model");
      printer.is_default = (group.integer("printer-type") & CUPS_PRINTER_DEFAULT) != 0;
      printer.state = printer_state(group.integer("printer-state"));
      printer.state_reasons = reasons(group.find("printer-state-reasons"));
      printer.accepting_jobs = group.boolean("printer-is-accepting-jobs");
      config_times[printer.name] = group.integer("printer-config-change-time");
      out.push_back(std::move(printer));
    });
    // Capabilities change with the printer's configuration only: asked for
    // once per configuration rather than at every poll.
    std::erase_if(capabilities_,
                  [&](const auto& entry) { return !config_times.contains(entry.first); });
    for (Printer& printer : out) {
      auto cached = capabilities_.find(printer.name);
      if (cached == capabilities_.end() || cached->second.first != config_times[printer.name]) {
        Capabilities caps;
        if (SystemError error = capabilities(printer.name, caps)) {
          if (error.kind == SystemError::Kind::unreachable) return error;
          continue;  // gone since the list was read: unknown capabilities
        }
        cached =
            capabilities_
                .insert_or_assign(printer.name, std::make_pair(config_times[printer.name], caps))
                .first;
      }
      printer.capabilities = cached->second.second;
    }
    return {};
  }

  SystemError submit(const SubmitRequest& request,
                     const std::function<void(const CreatedJob&)>& created,
                     const std::atomic<bool>& stop, std::int64_t& job_id) override {
    job_id = 0;
    Fd document{::open(request.document.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
    if (document.fd < 0) {
      return {SystemError::Kind::document, request.document.string() + ": " + std::strerror(errno)};
    }
    // The printer is looked up with a plain request first: libcups' own
    // look-ups wait a minute on a name that does not exist.
    if (SystemError error = check_printer(request.printer)) return error;
    const std::string uri = printer_uri(request.printer);
    int option_count = 0;
    cups_option_t* options = nullptr;
    const auto add = [&](const char* name, const std::string& value) {
      if (!value.empty()) option_count = cupsAddOption(name, value.c_str(), option_count, &options);
    };
    if (request.copies != 1) add("copies", std::to_string(request.copies));
    add("media", request.options.media);
    add("sides", request.options.sides);
    add("print-color-mode", request.options.color_mode);
    add("page-ranges", request.options.page_ranges);
    // Held until the client has recorded that it lets the job go.
    add("job-hold-until", "indefinite");
    IppPtr create = new_request(IPP_OP_CREATE_JOB, "printer-uri", uri);
    ippAddString(create.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                 request.job_name.c_str());
    cupsEncodeOptions2(create.get(), option_count, options, IPP_TAG_OPERATION);
    cupsEncodeOptions2(create.get(), option_count, options, IPP_TAG_JOB);
    cupsFreeOptions(option_count, options);
    IppPtr made;
    if (SystemError error = run(std::move(create), "/", made)) {
      return error.kind == SystemError::Kind::not_found
                 ? SystemError{SystemError::Kind::no_printer, error.text}
                 : error;
    }
    const int id = ippGetInteger(ippFindAttribute(made.get(), "job-id", IPP_TAG_INTEGER), 0);
    if (id <= 0) return {SystemError::Kind::refused, "the printing system made no job"};
    job_id = id;
    CreatedJob job{job_id, {}, 0};
    // Its uuid tells the job from a later one with the same id; the
    // subscription keeps its end after the scheduler forgets the job. Both
    // are best efforts: without them the job is followed by id and name.
    SystemJob read;
    if (!this->job(job_id, read)) job.uuid = read.uuid;
    job.subscription = subscribe(request.printer);
    created(job);
    // (A failed request above closes the connection.)
    http_t* http = connection();
    if (!http) return abandon(unreachable_error(), job_id);

    // The document goes as a plain Send-Document of unknown length: the
    // destination helpers of libcups would first ask the scheduler for the
    // printer's every attribute (and make a local queue for it) on each job.
    const std::string title = request.title.empty() ? request.job_name : request.title;
    IppPtr send = new_request(IPP_OP_SEND_DOCUMENT, "printer-uri", uri);
    ippAddInteger(send.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ippAddString(send.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr,
                 title.c_str());
    ippAddString(send.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 request.document_format.c_str());
    ippAddBoolean(send.get(), IPP_TAG_OPERATION, "last-document", 1);
    if (cupsSendRequest(http, send.get(), "/", CUPS_LENGTH_VARIABLE) != HTTP_STATUS_CONTINUE) {
      return abandon(failure(SystemError::Kind::refused), job_id);
    }
    std::vector<char> buffer(kChunkBytes);
    for (;;) {
      if (stop.load()) return abandon({SystemError::Kind::stopped, "stopped"}, 0);
      const ssize_t n = ::read(document.fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        return abandon({SystemError::Kind::document, std::strerror(errno)}, job_id);
      }
      if (n == 0) break;
      if (cupsWriteRequestData(http, buffer.data(), static_cast<std::size_t>(n)) !=
          HTTP_STATUS_CONTINUE) {
        return abandon(failure(SystemError::Kind::refused), job_id);
      }
    }
    const IppPtr answer(cupsGetResponse(http, "/"));
    if (!answer || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
      return checked(failure(SystemError::Kind::refused));
    }
    return checked({});
  }

  SystemError release(std::int64_t job_id) override {
    IppPtr request = new_request(IPP_OP_RELEASE_JOB, "job-uri", job_uri(job_id));
    IppPtr answer;
    SystemError error = run(std::move(request), "/", answer);
    // Released already (by an earlier try): nothing to do.
    if (error.kind == SystemError::Kind::refused &&
        cupsLastError() == IPP_STATUS_ERROR_NOT_POSSIBLE) {
      return {};
    }
    return error;
  }

  SystemError active_jobs(std::vector<SystemJob>& out) override {
    out.clear();
    IppPtr request = new_request(IPP_OP_GET_JOBS, "printer-uri", "ipp://localhost/");
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                 "not-completed");
    ippAddBoolean(request.get(), IPP_TAG_OPERATION, "my-jobs", 1);
    add_job_attributes(request.get());
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) {
      return error.kind == SystemError::Kind::not_found ? SystemError{} : error;
    }
    for_each_group(answer.get(), IPP_TAG_JOB,
                   [&](const Group& group) { out.push_back(read_job(group)); });
    return {};
  }

  SystemError outcome(std::int64_t subscription, std::int64_t job_id, JobOutcome& out) override {
    out = {};
    IppPtr request = new_request(IPP_OP_GET_NOTIFICATIONS, "printer-uri", "ipp://localhost/");
    ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids",
                  static_cast<int>(subscription));
    ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-sequence-numbers", 1);
    ippAddBoolean(request.get(), IPP_TAG_OPERATION, "notify-wait", 0);
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) return error;
    for_each_group(answer.get(), IPP_TAG_EVENT_NOTIFICATION, [&](const Group& group) {
      if (group.integer("notify-job-id") != job_id ||
          group.text("notify-subscribed-event") != "job-completed") {
        return;
      }
      const SystemJob::State state = job_state(group.integer("job-state"));
      if (!is_final(state)) return;
      out.known = true;
      out.state = state;
      out.message = group.text("notify-text");
    });
    return {};
  }

  SystemError job(std::int64_t job_id, SystemJob& out) override {
    IppPtr request = new_request(IPP_OP_GET_JOB_ATTRIBUTES, "job-uri", job_uri(job_id));
    add_job_attributes(request.get());
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) return error;
    bool found = false;
    for_each_group(answer.get(), IPP_TAG_JOB, [&](const Group& group) {
      out = read_job(group);
      found = true;
    });
    if (!found) return {SystemError::Kind::not_found, "no such job"};
    out.id = job_id;
    return {};
  }

  SystemError find_jobs(const std::string& job_name, std::vector<SystemJob>& out) override {
    out.clear();
    IppPtr request = new_request(IPP_OP_GET_JOBS, "printer-uri", "ipp://localhost/");
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ippAddBoolean(request.get(), IPP_TAG_OPERATION, "my-jobs", 1);
    add_job_attributes(request.get());
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) {
      return error.kind == SystemError::Kind::not_found ? SystemError{} : error;
    }
    for_each_group(answer.get(), IPP_TAG_JOB, [&](const Group& group) {
      if (group.text("job-name") == job_name) out.push_back(read_job(group));
    });
    std::sort(out.begin(), out.end(),
              [](const SystemJob& a, const SystemJob& b) { return a.id > b.id; });
    return {};
  }

  SystemError cancel(std::int64_t job_id) override {
    IppPtr request = new_request(IPP_OP_CANCEL_JOB, "job-uri", job_uri(job_id));
    IppPtr answer;
    return run(std::move(request), "/", answer);
  }

 private:
  // The connection, opened when there is none (a time-out or an outage
  // closed the last one).
  http_t* connection() {
    if (http_) return http_;
    http_ = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                         static_cast<int>(settings_.connect_timeout.count()), nullptr);
    if (!http_) {
      open_error_ = std::string(cupsServer()) + ": " + last_error_text();
      return nullptr;
    }
    httpSetTimeout(http_, std::chrono::duration<double>(settings_.io_timeout).count(),
                   &CupsSystem::on_timeout, this);
    return http_;
  }

  void close() {
    if (http_) httpClose(http_);
    http_ = nullptr;
  }

  SystemError unreachable_error() const {
    return {SystemError::Kind::unreachable,
            "the printing system does not answer (" + open_error_ + ")"};
  }

  static int on_timeout(http_t* /*http*/, void* self) {
    static_cast<CupsSystem*>(self)->timed_out_ = true;
    return 0;  // give up waiting
  }

  // The failure of the last libcups call on this thread, as a kind: outages
  // and time-outs are `unreachable`, "not found" is `not_found`, a printer
  // that refuses jobs is `not_accepting`, the rest `other`.
  SystemError failure(SystemError::Kind other) {
    const ipp_status_t status = cupsLastError();
    std::string text = last_error_text();
    if (timed_out_ || (http_ && httpError(http_) != 0)) {
      return {SystemError::Kind::unreachable, "the printing system does not answer: " + text};
    }
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return {SystemError::Kind::not_found, text};
    if (status == IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS) {
      return {SystemError::Kind::not_accepting, text};
    }
    if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL ||
        status == IPP_STATUS_ERROR_DEVICE || status == IPP_STATUS_ERROR_TEMPORARY) {
      return {SystemError::Kind::unreachable, "the printing system does not answer: " + text};
    }
    return {other, text};
  }

  // After a request: a time-out or an outage drops the connection, whose late
  // answer would otherwise be read as the answer to the next request.
  SystemError checked(SystemError error) {
    if (timed_out_ || error.kind == SystemError::Kind::unreachable) close();
    timed_out_ = false;
    return error;
  }

  SystemError run(IppPtr request, const char* resource, IppPtr& answer) {
    http_t* http = connection();
    if (!http) return unreachable_error();
    answer.reset(cupsDoRequest(http, request.release(), resource));
    if (!answer || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
      return checked(failure(SystemError::Kind::refused));
    }
    return checked({});
  }

  SystemError check_printer(const std::string& printer) {
    IppPtr request =
        new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri", printer_uri(printer));
    add_requested(request.get(), {"printer-name", "printer-is-accepting-jobs"});
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) {
      if (error.kind == SystemError::Kind::not_found) {
        return {SystemError::Kind::no_printer, "no printer named " + printer};
      }
      return error;
    }
    ipp_attribute_t* accepting =
        ippFindAttribute(answer.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    if (accepting && !ippGetBoolean(accepting, 0)) {
      return {SystemError::Kind::not_accepting, "printer " + printer + " is not accepting jobs"};
    }
    return {};
  }

  // A subscription to the printer's job-completed events, made while the
  // new job is held (so that its end cannot come first): unlike a job's own
  // subscription, it outlives a job the scheduler forgets. 0 when the
  // scheduler refuses one (its subscriptions are limited).
  std::int64_t subscribe(const std::string& printer) {
    IppPtr request =
        new_request(IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, "printer-uri", printer_uri(printer));
    ippAddString(request.get(), IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-pull-method",
                 nullptr, "ippget");
    ippAddString(request.get(), IPP_TAG_SUBSCRIPTION, IPP_TAG_KEYWORD, "notify-events", nullptr,
                 "job-completed");
    ippAddInteger(request.get(), IPP_TAG_SUBSCRIPTION, IPP_TAG_INTEGER, "notify-lease-duration",
                  kSubscriptionLeaseSeconds);
    IppPtr answer;
    if (run(std::move(request), "/", answer)) return 0;
    return ippGetInteger(ippFindAttribute(answer.get(), "notify-subscription-id", IPP_TAG_INTEGER),
                         0);
  }

  void unsubscribe(std::int64_t subscription) override {
    IppPtr request = new_request(IPP_OP_CANCEL_SUBSCRIPTION, "printer-uri", "ipp://localhost/");
    ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-id",
                  static_cast<int>(subscription));
    IppPtr answer;
    run(std::move(request), "/", answer);
  }

  SystemError capabilities(const std::string& printer, Capabilities& caps) {
    IppPtr request =
        new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri", printer_uri(printer));
    add_requested(request.get(), {"media-supported", "color-supported", "sides-supported",
                                  "copies-supported", "document-format-supported"});
    IppPtr answer;
    if (SystemError error = run(std::move(request), "/", answer)) return error;
    caps = read_capabilities(answer.get());
    return {};
  }

  // Gives up a submission in the middle of its document. The connection is
  // closed without ending the document, so the scheduler discards what it
  // got and never prints a part of it; the job, when `cancel_id` names it,
  // is then cancelled on a new connection. A job left (a stop for shutdown)
  // waits, incomplete, for the caller to find it again.
  SystemError abandon(SystemError error, std::int64_t cancel_id) {
    if (error.kind == SystemError::Kind::refused && timed_out_) {
      error = {SystemError::Kind::unreachable, "the printing system does not answer"};
    }
    timed_out_ = false;
    close();
    if (cancel_id > 0) cancel(cancel_id);
    return error;
  }

  PrintSystemSettings settings_;
  http_t* http_ = nullptr;
  std::string open_error_;
  bool timed_out_ = false;
  // By printer: (printer-config-change-time, capabilities).
  std::map<std::string, std::pair<int, Capabilities>> capabilities_;
};

}  // namespace
}  // namespace quillpost::printing

extern "C" __attribute__((visibility("default"))) quillpost::printing::PrintSystem*
quillpost_make_print_system(const quillpost::printing::PrintSystemSettings* settings,
                            std::string* error) {
  try {
    return new quillpost::printing::CupsSystem(*settings);
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return nullptr;
  }
}
