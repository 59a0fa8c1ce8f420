// Files replaced whole or not at all: the new content goes to a temporary
// file beside the target, is flushed to disk, and is renamed over it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillpost::service {

// Writes `content` to `file` with permissions `mode` (before the umask is
// irrelevant: the mode is set explicitly). Returns the text of what failed,
// or an empty text; on failure the old file is left as it was.
std::string write_file_atomically(const std::filesystem::path& file, std::string_view content,
                                  unsigned mode = 0600);

}  // namespace quillpost::service
