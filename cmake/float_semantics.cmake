# Sums and products must round exactly as written (no fused multiply-add), so
# that values are reproducible from the returned matrices.
include(CheckCXXCompilerFlag)
if(MSVC)
  # /fp:precise of Visual Studio 2022 does not contract on its own; where the
  # compiler knows /fp:contract-, it says so explicitly. Nothing here asks for
  # /arch:AVX2, so older compilers have no FMA instruction to contract to.
  check_cxx_compiler_flag(/fp:contract- ALLOTRA_HAS_FP_CONTRACT_OFF)
endif()

function(allotra_float_semantics target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math)
  else()
    target_compile_options(${target} PRIVATE /fp:precise)
    if(ALLOTRA_HAS_FP_CONTRACT_OFF)
      target_compile_options(${target} PRIVATE /fp:contract-)
    endif()
  endif()
endfunction()
