// Small file helpers for tests that work in a TempDir.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "support/temp_dir.h"

namespace quillpost::testing {

// Writes `content` to `name` inside `dir` (making its folders); returns the path.
inline std::filesystem::path write_file(const TempDir& dir, std::string_view name,
                                        std::string_view content) {
  const auto file = dir / std::filesystem::path(name);
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
  return file;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace quillpost::testing
