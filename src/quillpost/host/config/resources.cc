#include "quillpost/host/config/resources.h"

namespace quillpost {

std::filesystem::path sample_config_location(const std::filesystem::path& resources_dir) {
  return resources_dir / "sample_config.conf";
}

ResourcesFolder app_build_resources_folder(const std::filesystem::path& resources_dir) {
  std::error_code ec;
  ResourcesFolder folder{std::filesystem::absolute(resources_dir, ec), false};
  if (ec) folder.dir = resources_dir;
  folder.ok = std::filesystem::is_directory(folder.dir, ec) &&
              std::filesystem::is_regular_file(sample_config_location(folder.dir), ec);
  return folder;
}

}  // namespace quillpost
