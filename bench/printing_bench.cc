// Printing through the whole chain: quillpost-service offers jobs to `launch`
// on loopback, which prints them on a private scheduler (raw queue, capture
// backend). Prints one "key=value" line per figure; bench/run turns them into
// the table.
//
//   printing_bench LAUNCH [--latency-jobs N] [--throughput-mib M] [--rss-mib R]
//                         [--waiting-jobs W]
//
// - offer to received: from the control request that makes the service offer
//   a 100 KiB job to the scheduler's log line saying that the job's document
//   is queued (every byte of it received), beside the service's record of the
//   client's "printing" status (the scheduler has made the job, before any
//   byte of the document) and of "completed"; and where that time went (p50
//   of each part): offer to the job made, to its document whole, to its
//   release, the scheduler's own work from release to "Job completed" (the
//   part no client can shorten), and from there to the client's "completed";
// - throughput: a document of M MiB from the offer (the job queued) to
//   "completed", against
//   `curl` of the same URL into a file plus `lp` of that file until the
//   scheduler's backend has written it (both end the same way);
// - memory: launch's resident set when idle (connected, printers listed, one
//   job printed) and its peak while it prints a document of R MiB;
// - what printing costs an idle client: a fresh client with the scheduler
//   reachable (printers listed) against one without a printing system, beside
//   a minimal program that lists the printers through libcups against an
//   empty one (cups_lister and empty_probe, next to LAUNCH);
// - printer-list bytes: what the client sent the service of its printers
//   during all the run's jobs (`printers` lists and `printers.state` changes,
//   the service's count; the printers are polled every 2 s, so only the longer
//   jobs and the stopped printer show as changes), against the whole list
//   sent for every one of those messages, as every state flip once was;
// - the scheduler's load (the last phase): with W jobs waiting on a stopped printer, the
//   requests the client makes to the scheduler per second (its access log,
//   every request logged), by operation.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "memory.h"
#include "support/cups_scheduler.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using quillpost::testing::CupsScheduler;
using quillpost::testing::LaunchProcess;
using quillpost::testing::ServiceProcess;
using quillpost::testing::TempDir;
using namespace std::chrono_literals;
using SystemClock = std::chrono::system_clock;

constexpr const char* kComputer = "BENCH-PC";

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "printing_bench: %s\n", why.c_str());
  std::exit(1);
}

// A file of `bytes` pseudo-random bytes, written in 1 MiB pieces.
std::filesystem::path make_document(const TempDir& dir, const std::string& name,
                                    std::size_t bytes) {
  const auto path = dir / name;
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(bytes);
  std::string piece(1 << 20, '\0');
  for (std::size_t left = bytes; left > 0;) {
    for (std::size_t i = 0; i + 8 <= piece.size(); i += 8) {
      const std::uint64_t v = random();
      std::memcpy(piece.data() + i, &v, 8);
    }
    const std::size_t n = std::min(left, piece.size());
    out.write(piece.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  return path;
}

// What the scheduler logged of each job, by its job id, stamped to the
// microsecond ("LogTimeFormat usecs"): "I [10/Dec/2026:02:03:02.420905 +0000]
// [Job 7] File of type ...". `made`: "Queued on" (Create-Job); `document`:
// "File of type ... queued by", written once the document's last byte is in;
// `released`: "Job released"; `printed`: "Job completed".
struct SchedulerJob {
  std::optional<SystemClock::time_point> made, document, released, printed;
};

std::map<std::int64_t, SchedulerJob> scheduler_jobs(const CupsScheduler& cups) {
  static const std::pair<const char*, std::optional<SystemClock::time_point> SchedulerJob::*>
      kEvents[] = {{"] Queued on ", &SchedulerJob::made},
                   {"] File of type ", &SchedulerJob::document},
                   {"] Job released", &SchedulerJob::released},
                   {"] Job completed", &SchedulerJob::printed}};
  std::map<std::int64_t, SchedulerJob> jobs;
  std::ifstream log(cups.dir() / "log/error_log");
  for (std::string line; std::getline(log, line);) {
    const auto job = line.find("] [Job ");
    if (job == std::string::npos) continue;
    const auto event = std::find_if(std::begin(kEvents), std::end(kEvents), [&](const auto& e) {
      return line.find(e.first, job + 7) != std::string::npos;
    });
    if (event == std::end(kEvents)) continue;
    std::tm tm{};
    const char* rest = strptime(line.c_str() + line.find('[') + 1, "%d/%b/%Y:%H:%M:%S", &tm);
    if (!rest) fail("bad time in the scheduler's log: " + line);
    long micros = 0;
    int zone = 0;
    if (std::sscanf(rest, ".%ld %d", &micros, &zone) != 2) fail("no microseconds in: " + line);
    const int zone_minutes = (zone / 100) * 60 + zone % 100;
    jobs[std::stoll(line.substr(job + 7))].*(event->second) =
        SystemClock::from_time_t(timegm(&tm)) + std::chrono::microseconds(micros) -
        std::chrono::minutes(zone_minutes);
  }
  return jobs;
}

// "2024-05-01T12:00:00.123Z" as a time point.
SystemClock::time_point parse_time(const std::string& text) {
  std::tm tm{};
  if (!strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) fail("bad time " + text);
  const auto seconds = SystemClock::from_time_t(timegm(&tm));
  const auto dot = text.find('.');
  const int ms = dot == std::string::npos ? 0 : std::stoi(text.substr(dot + 1, 3));
  return seconds + std::chrono::milliseconds(ms);
}

nlohmann::json find_job(const ServiceProcess& service, const std::string& id) {
  // One job's entry, not the whole list: polled every 2 ms, the list of a
  // hundred jobs with their histories kept the service busy beside the client.
  const nlohmann::json answer = service.control("GET", "/control/jobs?job=" + id);
  for (const auto& job : answer["jobs"]) {
    if (job["jobId"] == id) return job;
  }
  return nullptr;
}

// Waits for the job's final state; the job as the service holds it.
nlohmann::json wait_final(const ServiceProcess& service, const std::string& id,
                          std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto job = find_job(service, id);
    const std::string state = job.is_null() ? "" : job.value("state", "");
    if (state == "completed") return job;
    if (state == "failed" || state == "cancelled") fail("job " + id + " ended " + job.dump());
    std::this_thread::sleep_for(2ms);
  }
  fail("job " + id + " did not end in time");
}

SystemClock::time_point when(const nlohmann::json& history, const std::string& state) {
  for (const auto& entry : history) {
    if (entry["state"] == state) return parse_time(entry["at"].get<std::string>());
  }
  fail("no " + state + " in " + history.dump());
}

std::string print(const ServiceProcess& service, const std::filesystem::path& file,
                  const std::string& printer = "Desk") {
  return service
      .control("POST", "/control/print",
               {{"computer", kComputer},
                {"printer", printer},
                {"file", file.string()},
                {"contentType", "application/octet-stream"}})["jobId"]
      .get<std::string>();
}

double ms_between(SystemClock::time_point from, SystemClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

long status_kib(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// Waits until the scheduler's backend has written `bytes` bytes for a job it
// did not have before.
void wait_captured(const CupsScheduler& cups, std::size_t before, std::size_t bytes) {
  const auto deadline = std::chrono::steady_clock::now() + 300s;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    std::size_t count = 0;
    bool whole = false;
    for (const auto& entry : std::filesystem::directory_iterator(cups.dir() / "out", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("desk.prn.", 0) != 0 ||
          name.find_first_not_of("0123456789", 9) != std::string::npos) {
        continue;
      }
      ++count;
      whole = whole || entry.file_size(ec) == bytes;
    }
    if (count > before && whole) return;
    std::this_thread::sleep_for(2ms);
  }
  fail("lp's job was not printed in time");
}

std::size_t captured_count(const CupsScheduler& cups) {
  return cups.captured("Desk").size();
}

// The printers the service holds for `computer` (null before any list came).
nlohmann::json printers_of(const ServiceProcess& service, const std::string& computer) {
  const nlohmann::json answer = service.control("GET", "/control/printers");
  for (const auto& entry : answer["computers"]) {
    if (entry["computer"] == computer) return entry["printers"];
  }
  return nullptr;
}

// The service's count of the printer messages of kComputer: lists, state
// changes, bytes.
struct PrinterMessages {
  std::int64_t lists = 0, states = 0, bytes = 0;
};
PrinterMessages printer_messages(const ServiceProcess& service) {
  const nlohmann::json answer = service.control("GET", "/control/printers");
  for (const auto& entry : answer["computers"]) {
    if (entry["computer"] != kComputer) continue;
    const nlohmann::json m = entry.value("messages", nlohmann::json::object());
    return {m.value("printers", std::int64_t{0}), m.value("printers.state", std::int64_t{0}),
            m.value("bytes", std::int64_t{0})};
  }
  fail("the service holds no printers of " + std::string(kComputer));
}

// The requests in the scheduler's access log so far, by IPP operation (the
// line's last but one word: `... "POST / HTTP/1.1" 200 182 Get-Jobs successful-ok`).
std::map<std::string, long> scheduler_requests(const CupsScheduler& cups) {
  std::map<std::string, long> out;
  std::ifstream log(cups.dir() / "log/access_log");
  for (std::string line; std::getline(log, line);) {
    const auto last = line.rfind(' ');
    if (last == std::string::npos || last == 0) continue;
    const auto before = line.rfind(' ', last - 1);
    if (before == std::string::npos) continue;
    ++out[line.substr(before + 1, last - before - 1)];
  }
  return out;
}

// Runs `program PREFIX` with `env` added and passes its "key=value" lines on.
void run_probe(const std::string& program, const std::string& prefix, const std::string& env) {
  const std::string command = env + " '" + program + "' " + prefix;
  std::fflush(stdout);
  if (std::system(command.c_str()) != 0) fail(command + " failed");
}

void idle_memory(const std::string& launch_path, const ServiceProcess& service,
                 const LaunchProcess& with_printing, const TempDir& work,
                 const CupsScheduler& cups) {
  // A second client, whose printing system's socket does not exist.
  LaunchProcess without(launch_path,
                        {"--headless", "--shutdown-on-sigint", "--client-key=demo-client-key",
                         "--computer-name=BENCH-NO-PRINTING",
                         "--settings-dir=" + (work / "bare").string(), "--settings-dir-create"},
                        {"QUILLPOST_SERVICE_URL=" + service.base_url(),
                         "CUPS_SERVER=" + (work / "no-scheduler.sock").string()});
  if (!without.wait_for_line("CLIENT_HANDSHAKED: Authenticated.", 1, 20s)) {
    fail("the second client did not connect: " + without.output());
  }
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (printers_of(service, kComputer).size() < 2 ||
         !printers_of(service, "BENCH-NO-PRINTING").is_array()) {
    if (std::chrono::steady_clock::now() > deadline) fail("the printer lists did not come");
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(1s);  // let both settle
  quillpost::bench::print_memory("idle_printing", quillpost::bench::memory_of(with_printing.pid()));
  quillpost::bench::print_memory("idle_no_printing", quillpost::bench::memory_of(without.pid()));
  const std::string bin = std::filesystem::path(launch_path).parent_path().string();
  run_probe(bin + "/cups_lister", "cups_lister", "CUPS_SERVER='" + cups.socket() + "'");
  run_probe(bin + "/empty_probe", "empty_program", "");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    fail("usage: printing_bench LAUNCH [--latency-jobs N] [--throughput-mib M] [--rss-mib R]");
  const std::string launch_path = argv[1];
  int latency_jobs = 50;
  int waiting_jobs = 1000;
  std::size_t throughput_mib = 200;
  std::size_t rss_mib = 500;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const long value = std::stol(argv[i + 1]);
    if (option == "--latency-jobs")
      latency_jobs = static_cast<int>(value);
    else if (option == "--throughput-mib")
      throughput_mib = static_cast<std::size_t>(value);
    else if (option == "--rss-mib")
      rss_mib = static_cast<std::size_t>(value);
    else if (option == "--waiting-jobs")
      waiting_jobs = static_cast<int>(value);
    else
      fail("unknown option " + option);
  }
  if (!CupsScheduler::available()) fail("needs root and cupsd");

  TempDir work;
  // Log times to the microsecond: the time a document was received is read
  // from the log. Every request goes to the access log, and the waiting jobs
  // fit.
  CupsScheduler cups(CupsScheduler::Options{
      .queues = {"Desk", "Lab"},
      .extra_conf = {"LogTimeFormat usecs", "AccessLogLevel all", "MaxJobs 0"}});
  ServiceProcess service({"--jobs-file", (work / "jobs.json").string()});
  LaunchProcess client(
      launch_path,
      {"--headless", "--shutdown-on-sigint", "--client-key=demo-client-key",
       "--computer-name=" + std::string(kComputer),
       "--settings-dir=" + (work / "settings").string(), "--settings-dir-create"},
      {"QUILLPOST_SERVICE_URL=" + service.base_url(), "CUPS_SERVER=" + cups.socket()});
  if (!client.wait_for_line("CLIENT_HANDSHAKED: Authenticated.", 1, 20s)) {
    fail("the client did not connect: " + client.output());
  }
  idle_memory(launch_path, service, client, work, cups);

  // Offer to received and to printed, 100 KiB each, one at a time.
  const auto small = make_document(work, "small", 100 * 1024);
  const PrinterMessages messages_before = printer_messages(service);
  if (messages_before.states != 0 || messages_before.lists == 0) {
    fail("the printers changed state before the first job");
  }
  std::vector<std::pair<SystemClock::time_point, nlohmann::json>> offered;
  for (int i = 0; i < latency_jobs + 1; ++i) {
    const auto start = SystemClock::now();
    const std::string id = print(service, small);
    auto job = wait_final(service, id, 30s);
    if (i == 0) continue;  // the first one loads the printing system's module
    offered.emplace_back(start, std::move(job));
  }
  const auto logged = scheduler_jobs(cups);
  std::vector<double> made;
  std::vector<double> received;
  std::vector<double> completed;
  // Where each job's time went, from the service's record of the offer
  // ("queued") through the scheduler's log to the client's "completed".
  std::vector<double> to_made, to_document, to_released, scheduler_work, to_reported;
  for (const auto& [start, job] : offered) {
    const auto& history = job.at("history");
    const auto& printer_job = job.at("printerJobId");
    const auto at = printer_job.is_number_integer() ? logged.find(printer_job.get<std::int64_t>())
                                                    : logged.end();
    if (at == logged.end() || !at->second.made || !at->second.document || !at->second.released ||
        !at->second.printed) {
      fail("the scheduler did not log the whole path of " + job.dump());
    }
    const SchedulerJob& log = at->second;
    made.push_back(ms_between(start, when(history, "printing")));
    received.push_back(ms_between(start, *log.document));
    completed.push_back(ms_between(start, when(history, "completed")));
    to_made.push_back(ms_between(when(history, "queued"), *log.made));
    to_document.push_back(ms_between(*log.made, *log.document));
    to_released.push_back(ms_between(*log.document, *log.released));
    scheduler_work.push_back(ms_between(*log.released, *log.printed));
    to_reported.push_back(ms_between(*log.printed, when(history, "completed")));
  }
  std::printf("print_latency_runs=%zu\n", received.size());
  std::printf("print_made_p50_ms=%.1f\n", percentile(made, 0.5));
  std::printf("print_received_p50_ms=%.1f\nprint_received_p90_ms=%.1f\n", percentile(received, 0.5),
              percentile(received, 0.9));
  std::printf("print_completed_p50_ms=%.1f\nprint_completed_p90_ms=%.1f\n",
              percentile(completed, 0.5), percentile(completed, 0.9));
  std::printf("print_path_to_made_p50_ms=%.1f\n", percentile(to_made, 0.5));
  std::printf("print_path_to_document_p50_ms=%.1f\n", percentile(to_document, 0.5));
  std::printf("print_path_to_released_p50_ms=%.1f\n", percentile(to_released, 0.5));
  std::printf("print_path_scheduler_p50_ms=%.1f\n", percentile(scheduler_work, 0.5));
  std::printf("print_path_to_reported_p50_ms=%.1f\n", percentile(to_reported, 0.5));

  // Idle memory: connected, printers listed, jobs printed.
  std::this_thread::sleep_for(1s);
  const long idle_kib = status_kib(client.pid(), "VmRSS");

  // Throughput against curl + lp of the same URL.
  const auto big = make_document(work, "big", throughput_mib << 20);
  const std::string id = print(service, big);
  const auto history = wait_final(service, id, 300s)["history"];
  // From the job's offer (the service hashes the file before it queues and
  // offers the job; curl + lp start from a queued job too).
  const auto start = when(history, "queued");
  const double client_ms = ms_between(start, when(history, "completed"));
  // Where the time goes: to the client's "downloading", the download (and the
  // scheduler making the job), the document sent and printed.
  const double offered_ms = ms_between(start, when(history, "downloading"));
  const double fetch_ms = ms_between(when(history, "downloading"), when(history, "printing"));
  const double send_ms = ms_between(when(history, "printing"), when(history, "completed"));
  std::string token;
  {
    std::ifstream in(work / "jobs.json");
    const auto jobs = nlohmann::json::parse(in)["jobs"];
    for (const auto& job : jobs) {
      if (job["jobId"] == id) token = job["token"].get<std::string>();
    }
  }
  const std::string url = service.base_url() + "/v1/documents/" + id + "?token=" + token;
  const std::size_t before = captured_count(cups);
  const auto copy = work / "curl-copy";
  const auto t0 = std::chrono::steady_clock::now();
  const std::string curl = "curl -sf -o '" + copy.string() + "' '" + url + "'";
  const std::string lp =
      "CUPS_SERVER='" + cups.socket() + "' lp -d Desk '" + copy.string() + "' >/dev/null";
  if (std::system(curl.c_str()) != 0) fail("curl failed");
  const double curl_only_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  if (std::system(lp.c_str()) != 0) fail("lp failed");
  wait_captured(cups, before, throughput_mib << 20);
  const double curl_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("print_throughput_mib=%zu\nprint_client_ms=%.0f\nprint_curl_lp_ms=%.0f\n",
              throughput_mib, client_ms, curl_ms);
  std::printf("print_client_offer_ms=%.0f\nprint_client_fetch_ms=%.0f\nprint_client_send_ms=%.0f\n",
              offered_ms, fetch_ms, send_ms);
  std::printf("print_curl_ms=%.0f\n", curl_only_ms);

  // Peak memory while printing a large document: the peak is reset first.
  const auto huge = make_document(work, "huge", rss_mib << 20);
  std::ofstream(std::filesystem::path("/proc") / std::to_string(client.pid()) / "clear_refs")
      << "5";
  const std::string huge_id = print(service, huge);
  wait_final(service, huge_id, 600s);
  const long peak_kib = status_kib(client.pid(), "VmHWM");
  std::printf("print_rss_mib=%zu\nprint_idle_rss_kib=%ld\nprint_peak_rss_kib=%ld\n", rss_mib,
              idle_kib, peak_kib);
  // The scheduler's load with many jobs waiting on a stopped printer.
  cups.admin("cupsdisable Lab");
  const auto tiny = make_document(work, "tiny", 1024);
  for (int i = 0; i < waiting_jobs; ++i) print(service, tiny, "Lab");
  const auto all_in = std::chrono::steady_clock::now() + 300s;
  for (;;) {
    int waiting = 0;
    const nlohmann::json answer = service.control("GET", "/control/jobs");
    for (const auto& job : answer["jobs"]) waiting += job.value("state", "") == "printing";
    if (waiting >= waiting_jobs) break;
    if (std::chrono::steady_clock::now() > all_in) fail("the waiting jobs did not all arrive");
    std::this_thread::sleep_for(500ms);
  }
  std::this_thread::sleep_for(3s);  // settled
  constexpr int kWindow = 10;
  const auto requests_before = scheduler_requests(cups);
  std::this_thread::sleep_for(std::chrono::seconds(kWindow));
  auto requests = scheduler_requests(cups);
  long total = 0;
  for (auto& [operation, count] : requests) {
    const auto it = requests_before.find(operation);
    count -= it == requests_before.end() ? 0 : it->second;
    total += count;
  }
  const auto per_s = [&](const std::string& operation) {
    return static_cast<double>(requests[operation]) / kWindow;
  };
  std::printf("sched_waiting_jobs=%d\nsched_requests_per_s=%.1f\n", waiting_jobs,
              static_cast<double>(total) / kWindow);
  std::printf("sched_get_jobs_per_s=%.1f\nsched_get_job_attributes_per_s=%.1f\n", per_s("Get-Jobs"),
              per_s("Get-Job-Attributes"));
  std::printf(
      "sched_printer_requests_per_s=%.1f\n",
      per_s("CUPS-Get-Printers") + per_s("Get-Printer-Attributes") + per_s("CUPS-Get-Default"));
  // The printer messages of all the run's jobs, against the whole list each time.
  const PrinterMessages messages_after = printer_messages(service);
  const std::int64_t whole_list = messages_before.bytes / messages_before.lists;
  const std::int64_t messages = (messages_after.lists - messages_before.lists) +
                                (messages_after.states - messages_before.states);
  std::printf("print_list_jobs=%d\nprint_list_lists=%lld\nprint_list_states=%lld\n",
              latency_jobs + 3 + waiting_jobs,
              static_cast<long long>(messages_after.lists - messages_before.lists),
              static_cast<long long>(messages_after.states - messages_before.states));
  std::printf("print_list_bytes=%lld\nprint_list_whole_bytes=%lld\n",
              static_cast<long long>(messages_after.bytes - messages_before.bytes),
              static_cast<long long>(messages * whole_list));
  client.signal(SIGINT);
  client.wait_exit(10s);
  return 0;
}
