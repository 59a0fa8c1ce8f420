#include "support/temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace quillpost::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qp-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::filesystem::filesystem_error("cannot make a temporary directory", pattern,
                                            std::error_code(errno, std::generic_category()));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quillpost::testing
