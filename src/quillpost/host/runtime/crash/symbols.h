// Symbolisation of crash reports through libdw, which lives in the module
// libquillpost_symbols.so: opened only when a report is there to send, so a
// run without one never maps libdw.
#pragma once

#include <vector>

#include "quillpost/host/process/module.h"
#include "quillpost/host/runtime/crash/report.h"

namespace quillpost::crash {

// Fills in the function, file and line of each frame (from frames_of) whose
// module is still on the disk with the build id the report names.
using SymboliseEntry = void (*)(const CrashReport&, std::vector<SymbolisedFrame>&);
inline constexpr const char* kSymbolsModule = "libquillpost_symbols.so";
inline constexpr const char* kSymboliseEntry = "quillpost_symbolise";

// Opens the module on first use (throws ModuleError when it cannot be).
inline void symbolise(const CrashReport& report, std::vector<SymbolisedFrame>& frames) {
  static const SymboliseEntry entry = module_entry<SymboliseEntry>(kSymbolsModule, kSymboliseEntry);
  entry(report, frames);
}

}  // namespace quillpost::crash
