// The fatal-signal handler: a crash leaves a small report of its own in the
// settings directory (the process is not dumpable, so there is no core), and
// the next start symbolises it and sends it (runtime/crash/).
//
// On SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGABRT the handler writes, with
// async-signal-safe calls only (open, write, rename, close, prctl, and the
// unwinder already mapped for C++ exceptions, primed at install), a text file
// `crash-<seconds>-<pid>.txt` (0600, through a temporary name):
//
//   quillpost crash report 1
//   time <seconds since 1970>
//   signal <number> <name>
//   code <si_code>
//   thread <the faulting thread's name>
//   build <the build record, one line>
//   frame <return address, hex>          (one per frame, innermost first)
//   module <load bias, hex> <build id, hex or -> <path>
//
// then restores the default action and raises the signal again, so the
// process ends as it would have without the handler. Nothing of the
// configuration, the account or the log goes into a report.
#pragma once

#include <filesystem>
#include <string>

namespace quillpost {

// The folder of the settings directory that holds crash reports.
inline constexpr const char* CRASH_REPORTS_FOLDER = "crash-reports";

// Installs the handler (once per process; a later call changes nothing;
// sanitizer builds keep the sanitizers' own handlers and install nothing). The
// folder `dir` is made private when missing; `build` is written as given,
// cut at 400 characters, line breaks replaced. Throws std::system_error when
// `dir` cannot be made.
void install_crash_handler(const std::filesystem::path& dir, const std::string& build);

}  // namespace quillpost
