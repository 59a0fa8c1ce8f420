#include "quillpost/host/process/stack.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quillpost {

void release_stack_below_caller() {
  pthread_attr_t attr;
  if (::pthread_getattr_np(::pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  const int got = ::pthread_attr_getstack(&attr, &low, &size);
  ::pthread_attr_destroy(&attr);
  if (got != 0) return;
  // For the main thread the reported bounds are the stack's whole possible
  // extent, which ends where the next mapping below it begins: nothing but
  // the stack (and unmapped space, which madvise skips) lies in between.
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto bottom = (reinterpret_cast<std::uintptr_t>(low) + page - 1) & ~(page - 1);
  // The margin keeps this function's own frame, the system call's and a
  // signal handler's well clear of the pages dropped.
  constexpr std::uintptr_t kMargin = 64 * 1024;
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < bottom + kMargin) return;
  const std::uintptr_t top = (here - kMargin) & ~(page - 1);
  // ENOMEM for the unmapped part below the stack is expected: the pages that
  // are mapped are released all the same.
  ::madvise(reinterpret_cast<void*>(bottom), top - bottom, MADV_DONTNEED);
}

}  // namespace quillpost
