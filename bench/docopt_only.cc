// The floor of a launcher built on docopt.cpp: reads a usage text from the
// file named first and parses the remaining arguments against it, nothing else.
//
//   docopt_only USAGE_FILE ARG...     exit 0: parsed; 2: no match; 1: no file
#include <docopt/docopt.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  std::FILE* file = std::fopen(argv[1], "rb");
  if (!file) return 1;
  std::string doc;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) doc.append(buffer, n);
  std::fclose(file);
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    const auto parsed = docopt::docopt_parse(doc, args, /*help=*/false, /*version=*/true);
    return parsed.empty() ? 2 : 0;
  } catch (const docopt::DocoptExitVersion&) {
    return 0;
  } catch (const docopt::DocoptArgumentError&) {
    return 2;
  }
}
