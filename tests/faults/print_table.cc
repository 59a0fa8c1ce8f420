// Prints the fault table that the fault suite's programs wrote, one row a
// scenario: what it expects and what it observed.
#include <iostream>

#include "table.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fault_table FILE\n";
    return 2;
  }
  const auto rows = quillpost::faults::read_rows(argv[1]);
  std::cout << "Fault suite: " << rows.size() << " scenario rows\n";
  quillpost::faults::print_table(rows);
  return 0;
}
