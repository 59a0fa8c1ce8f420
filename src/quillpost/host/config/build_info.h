// The build record: what kind of build this is.
//
// The launcher and the logging receive it as a value (tests build their own);
// only the executable reads the compiled-in record.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillpost {

struct BuildInfo {
  std::string version;   // "0.1.0"
  std::string edition;   // shown in the version text: "v0.1.0 community edition"
  bool develop = false;  // development build: development-only options and SIGINT shutdown
  std::string info;      // free text about the build (compiler, build type)
  // False when the build has no GUI toolkit: every run is then headless.
  std::optional<bool> pyqt_available;
  // md5 sums of every sample configuration file this program ever shipped; an
  // existing file with one of these sums is an untouched sample and may be replaced.
  std::vector<std::string> default_config_file_md5sums;
};

// The record of this build, fixed at compile time.
const BuildInfo& compiled_build_info();

}  // namespace quillpost
