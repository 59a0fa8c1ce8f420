// The main thread's stack, given back after a deep start.
#pragma once

namespace quillpost {

// Tells the kernel that the calling thread's stack pages below the caller's
// frame (less a margin) are no longer needed, so that they stop counting as
// resident. Start-up goes deep once (the command-line parser's regular
// expressions touch about half a MiB) and a process that then runs for months
// would otherwise keep those pages dirty. A later call that needs them gets
// fresh zero pages. Does nothing where the stack's bounds are unknown.
void release_stack_below_caller();

}  // namespace quillpost
