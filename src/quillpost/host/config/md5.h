// MD5 digests, used only to recognise files this program wrote itself (the
// shipped sample configurations). Not for anything that needs security.
#pragma once

#include <string>
#include <string_view>

namespace quillpost {

// The digest of `data` as 32 lower-case hex digits.
std::string md5_hex(std::string_view data);

}  // namespace quillpost
