// Writes the usage text that `launch` parses (hidden options included) to
// standard output, so that other parsers can be timed on exactly that text.
#include <iostream>
#include <optional>

#include "quillpost/host/config/build_info.h"
#include "quillpost/main/command_line.h"

int main() {
  // launch passes no default configuration location, so neither does this.
  std::cout << quillpost::main::make_usage_docs(quillpost::compiled_build_info(), std::nullopt)
                   .parse_docs;
  return 0;
}
