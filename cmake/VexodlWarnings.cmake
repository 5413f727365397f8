# vexodl_strict_warnings(<target>): the warning flags that all of our own code builds with.
function(vexodl_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
