// The yardstick for what printing may cost in memory: a minimal program that
// lists the printers through libcups (each with the capabilities the client
// reports) and prints its own memory figures with the prefix given.
//
//   cups_lister PREFIX        (CUPS_SERVER names the scheduler)
#include <cups/cups.h>

#include "memory.h"

namespace {

int count_printer(void* user_data, unsigned /*flags*/, cups_dest_t* dest) {
  if (cups_dinfo_t* info = cupsCopyDestInfo(CUPS_HTTP_DEFAULT, dest)) {
    cupsFreeDestInfo(info);
  }
  ++*static_cast<int*>(user_data);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int printers = 0;
  cupsEnumDests(CUPS_DEST_FLAGS_NONE, 5000, nullptr, 0, 0, count_printer, &printers);
  if (printers == 0) {
    std::fprintf(stderr, "cups_lister: no printers listed\n");
    return 1;
  }
  quillpost::bench::print_memory(argv[1], quillpost::bench::memory_of(::getpid()));
  return 0;
}
