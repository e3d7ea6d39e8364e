# Sums and products must round exactly as written (no fused multiply-add), so
# that values are reproducible from the returned matrices.
function(allotra_float_semantics target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -ffp-contract=off -fno-fast-math)
  else()
    target_compile_options(${target} PRIVATE /fp:precise)
  endif()
endfunction()
