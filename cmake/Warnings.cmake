# Every project target calls morvanix_warnings(<target>) so the flags stay in one place.
function(morvanix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(MORVANIX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
