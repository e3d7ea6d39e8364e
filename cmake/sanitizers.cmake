function(allotra_sanitize target)
  if(ALLOTRA_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  # ThreadSanitizer cannot be combined with AddressSanitizer; it checks the
  # native tests (scripts/tsan.sh), where the pool's threads run without an
  # interpreter that would have to be instrumented too.
  if(ALLOTRA_SANITIZE_THREAD)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()
