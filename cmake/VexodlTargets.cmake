# vexodl_strict_warnings(<target>): the warning flags that all of our own code builds with.
function(vexodl_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    # GCC notes every std:: function whose argument passing changed in GCC 7.1 on ARM; all of
    # this project builds with one compiler, so the note says nothing about our code.
    target_compile_options(${target} PRIVATE -Wno-psabi)
  endif()
endfunction()
