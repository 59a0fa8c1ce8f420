# QP_SANITIZE=address,undefined or QP_SANITIZE=thread instruments everything we build.
if(QP_SANITIZE)
  add_compile_options(-fsanitize=${QP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QP_SANITIZE})
endif()
# Asio's fenced blocks use std::atomic_thread_fence, which ThreadSanitizer does
# not model (g++ 12 refuses it under -Werror); Asio's queues are mutex-protected,
# so the fences can go in that build.
if(QP_SANITIZE MATCHES "thread")
  add_compile_definitions(BOOST_ASIO_DISABLE_FENCED_BLOCK)
endif()
# Under AddressSanitizer's instrumentation at -O1, g++ 12 reports the
# std::function members inside std::regex's states as maybe used uninitialized
# (a false positive in libstdc++'s own code). The optimised build keeps the
# warning, so it still guards our code.
if(QP_SANITIZE MATCHES "address" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-maybe-uninitialized)
endif()
