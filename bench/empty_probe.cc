// The floor for memory figures: a C++ program that does nothing but print its
// own memory figures with the prefix given.
#include "memory.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  quillpost::bench::print_memory(argv[1], quillpost::bench::memory_of(::getpid()));
  return 0;
}
