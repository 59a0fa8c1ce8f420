// The libdw module: a crash report's return addresses to functions, files
// and lines, from the modules' symbol tables and debugging information.
#include <cxxabi.h>
#include <elfutils/libdwfl.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "quillpost/host/runtime/crash/symbols.h"

namespace quillpost::crash {
namespace {

std::string hex_of(const unsigned char* bytes, int size) {
  std::string out;
  for (int i = 0; i < size; ++i) {
    out += "0123456789abcdef"[bytes[i] >> 4];
    out += "0123456789abcdef"[bytes[i] & 15];
  }
  return out;
}

std::string demangled(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                               std::free);
  return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

void run(const CrashReport& report, std::vector<SymbolisedFrame>& frames) {
  static char* debuginfo_path = nullptr;
  static const Dwfl_Callbacks callbacks = {dwfl_build_id_find_elf, dwfl_standard_find_debuginfo,
                                           dwfl_offline_section_address, &debuginfo_path};
  std::unique_ptr<Dwfl, void (*)(Dwfl*)> dwfl(dwfl_begin(&callbacks), dwfl_end);
  if (!dwfl) return;
  dwfl_report_begin(dwfl.get());
  std::map<Dwfl_Module*, bool> usable;
  for (const auto& module : report.modules) {
    Dwfl_Module* m = dwfl_report_elf(dwfl.get(), module.path.c_str(), module.path.c_str(), -1,
                                     module.bias, true);
    if (m == nullptr) continue;
    // A module replaced since the crash would give wrong names.
    const unsigned char* id = nullptr;
    GElf_Addr id_at = 0;
    const int size = dwfl_module_build_id(m, &id, &id_at);
    usable[m] = module.build_id.empty() || (size > 0 && hex_of(id, size) == module.build_id);
  }
  dwfl_report_end(dwfl.get(), nullptr, nullptr);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    // A return address points after the call: look up the call itself.
    const Dwarf_Addr pc = frames[i].address - (i > 0 ? 1 : 0);
    Dwfl_Module* m = dwfl_addrmodule(dwfl.get(), pc);
    if (m == nullptr || !usable[m]) continue;
    if (const char* name = dwfl_module_addrname(m, pc)) frames[i].function = demangled(name);
    if (Dwfl_Line* line = dwfl_module_getsrc(m, pc)) {
      int number = 0;
      if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
        frames[i].file = file;
        frames[i].line = number;
      }
    }
  }
}

}  // namespace
}  // namespace quillpost::crash

extern "C" __attribute__((visibility("default"))) void quillpost_symbolise(
    const quillpost::crash::CrashReport& report,
    std::vector<quillpost::crash::SymbolisedFrame>& frames) {
  try {
    quillpost::crash::run(report, frames);
  } catch (const std::exception&) {
    // What could not be named stays unnamed; the report goes all the same.
  }
}
