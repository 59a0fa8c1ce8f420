// The application's read-only resources (the sample configuration, ...).
#pragma once

#include <filesystem>

namespace quillpost {

// Makes `resources_dir` absolute and checks that it is a directory holding the
// sample configuration. Returns the absolute directory; `ok` is false when it
// is missing or incomplete (the launcher then runs without a sample to copy).
struct ResourcesFolder {
  std::filesystem::path dir;
  bool ok = false;
};
ResourcesFolder app_build_resources_folder(const std::filesystem::path& resources_dir);

// Where the sample configuration lives inside the resources directory.
std::filesystem::path sample_config_location(const std::filesystem::path& resources_dir);

}  // namespace quillpost
