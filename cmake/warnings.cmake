# Project-wide warnings for our own targets (system headers are exempt).
function(qp_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wcast-align -Wnull-dereference -Wimplicit-fallthrough)
  if(QP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
