# Warnings, and for MSVC the settings that make it read the sources as GCC and
# Clang do: UTF-8 (the Ukrainian messages), standard conformance, and a
# __cplusplus that tells the real language version.
option(ALLOTRA_WERROR "Treat compiler warnings as errors" OFF)

function(allotra_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8 /permissive- /Zc:__cplusplus)
    if(ALLOTRA_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(ALLOTRA_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
