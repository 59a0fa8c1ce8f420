// The fault table: one row a scenario, with its expected and its observed
// outcome. Test programs append rows to a shared file (tab-separated, one row
// a line); the table is printed from it at the end of the suite.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillpost::faults {

// Prints `rows` (scenario, expected, observed) as a table to standard output.
void print_table(const std::vector<std::vector<std::string>>& rows);
// The rows of `file`, sorted by scenario.
std::vector<std::vector<std::string>> read_rows(const std::filesystem::path& file);

}  // namespace quillpost::faults
