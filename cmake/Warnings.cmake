function(tovik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-align
                                           -Woverloaded-virtual -Wno-unused-parameter)
  if(TOVIK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
