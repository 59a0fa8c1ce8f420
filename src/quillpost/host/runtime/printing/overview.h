// What the printing agent publishes for the status page, under the topic
// PRINTING_OVERVIEW, whenever it changes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/runtime/printing/printer.h"

namespace quillpost::printing {

inline constexpr std::string_view PRINTING_OVERVIEW = "printing_overview";

struct JobLine {
  std::string job_id;
  std::string title;
  std::string printer;
  std::string state;  // as print.status says it
  std::string reason;
  std::int64_t updated_at = 0;  // seconds since the epoch
  bool operator==(const JobLine&) const = default;
};

struct PrintingOverview {
  // The lines the page shows at most.
  static constexpr std::size_t MAX_JOBS = 20;

  std::string system;  // the printing system's state for people
  std::vector<Printer> printers;
  std::vector<JobLine> jobs;  // the last ones, newest first
  bool operator==(const PrintingOverview&) const = default;
};

}  // namespace quillpost::printing
