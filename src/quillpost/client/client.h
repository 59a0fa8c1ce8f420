// The connection client: the Client agent that keeps the computer connected.
#pragma once

namespace quillpost::client {}  // namespace quillpost::client
