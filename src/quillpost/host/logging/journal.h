// The journal as a second home for warnings and errors.
//
// A service manager that connects standard error to its journal says so in
// $JOURNAL_STREAM ("<device>:<inode>" of that stream). Lines written there
// with a "<N>" prefix are stored with priority N, so that `journalctl -p
// warning` and the unit's status show why the program stopped. The journal
// reads every line on its own: each line carries its own prefix.
#pragma once

#include <string>
#include <string_view>

#include "quillpost/host/process/environment.h"

namespace quillpost::logs {

enum class Level;

// Whether `fd` is the stream that $JOURNAL_STREAM names: same device and
// inode. False when the variable is unset or malformed, or `fd` is something
// else (redirected by the user).
bool is_journal_stream(const Getenv& getenv, int fd);

// The journal's priority of `level`: 7 debug, 6 info, 4 warning, 3 error and
// exception.
int journal_priority(Level level);

// "<N>LEVEL logger: text\n": one line as the journal stream takes it, without
// a time stamp (the journal keeps its own). `text` is one line already.
std::string journal_line(Level level, std::string_view logger, std::string_view text);

}  // namespace quillpost::logs
