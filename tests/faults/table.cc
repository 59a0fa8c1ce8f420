#include "table.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

namespace quillpost::faults {

void print_table(const std::vector<std::vector<std::string>>& rows) {
  std::size_t widths[3] = {8, 8, 8};
  constexpr std::size_t kMax = 70;
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < 2; ++i)
      widths[i] = std::min(kMax, std::max(widths[i], row[i].size()));
  }
  auto cell = [](const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
  };
  std::ostringstream s;
  s << "\n"
    << cell("scenario", widths[0]) << " | " << cell("expected", widths[1]) << " | observed\n";
  s << std::string(widths[0], '-') << "-|-" << std::string(widths[1], '-') << "-|-"
    << std::string(40, '-') << "\n";
  for (const auto& row : rows) {
    s << cell(row[0], widths[0]) << " | " << cell(row[1], widths[1]) << " | " << row[2] << "\n";
  }
  std::cout << s.str() << std::flush;
}

std::vector<std::vector<std::string>> read_rows(const std::filesystem::path& file) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> row;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, '\t');) row.push_back(f);
    row.resize(3);
    rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

}  // namespace quillpost::faults
