// usage2doc man  HELP NAME SUMMARY SOURCE DATE EXIT_CODES_MD DESCRIPTION_ROFF TAIL_ROFF OUT
// usage2doc bash HELP NAME OUT
// An empty EXIT_CODES_MD, DESCRIPTION_ROFF or TAIL_ROFF leaves that part out.
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "usage2doc.h"

namespace {

std::string read_file(const std::string& path) {
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "man" && argc == 11) {
      const usage2doc::Page page{argv[3],           argv[4], argv[6], argv[5], read_file(argv[8]),
                                 read_file(argv[9])};
      write_file(argv[10],
                 usage2doc::man_page(usage2doc::parse_help(read_file(argv[2])),
                                     usage2doc::parse_exit_codes(read_file(argv[7])), page));
      return 0;
    }
    if (mode == "bash" && argc == 5) {
      write_file(argv[4],
                 usage2doc::bash_completion(usage2doc::parse_help(read_file(argv[2])), argv[3]));
      return 0;
    }
    std::cerr << "usage: usage2doc man HELP NAME SUMMARY SOURCE DATE EXIT_CODES_MD "
                 "DESCRIPTION_ROFF TAIL_ROFF OUT\n       usage2doc bash HELP NAME OUT\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "usage2doc: " << e.what() << "\n";
    return 1;
  }
}
