# Which form of the exact 128-bit integer (src/kernel/wide_int.hpp) the build
# uses. The choice is part of the core's interface: everything that links
# allotra_core must see the same one, so the definition is public.
function(allotra_wide_int target)
  if(ALLOTRA_PORTABLE_WIDE_INT)
    target_compile_definitions(${target} PUBLIC ALLOTRA_PORTABLE_WIDE_INT)
  endif()
endfunction()
