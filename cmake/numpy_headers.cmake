# NumPy's headers for the module, at a path that outlives the install.
#
# The headers come from the NumPy of pip's build environment (pyproject.toml
# asks for NumPy 2.x there, whatever NumPy the target interpreter runs), and
# that environment is a new temporary folder at every install. Compiled against
# it directly, the module's every object would be rebuilt by every install,
# since its compile line would change. So the headers are copied into the build
# tree, each only when its content differs from the copy there: the compile
# line stays the same, and an unchanged header keeps its timestamp, so a
# reinstall recompiles only what did change (all of the module's objects when
# the build environment brings a different NumPy).
function(allotra_stage_numpy_headers source destination)
  file(GLOB_RECURSE headers LIST_DIRECTORIES false RELATIVE "${source}" "${source}/*")
  if(NOT headers)
    message(FATAL_ERROR "no NumPy headers in ${source}")
  endif()
  # Drop what this NumPy no longer has, so no stale header can be found.
  file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${destination}" "${destination}/*")
  foreach(header IN LISTS staged)
    if(NOT header IN_LIST headers)
      file(REMOVE "${destination}/${header}")
    endif()
  endforeach()
  # One copy_if_different per folder: it leaves files of equal content alone.
  set(folders "")
  foreach(header IN LISTS headers)
    get_filename_component(folder "${header}" DIRECTORY)
    list(APPEND folders "${folder}")
    string(MAKE_C_IDENTIFIER "in_${folder}" group)
    list(APPEND ${group} "${source}/${header}")
  endforeach()
  list(REMOVE_DUPLICATES folders)
  foreach(folder IN LISTS folders)
    string(MAKE_C_IDENTIFIER "in_${folder}" group)
    file(MAKE_DIRECTORY "${destination}/${folder}")
    execute_process(
      COMMAND "${CMAKE_COMMAND}" -E copy_if_different ${${group}} "${destination}/${folder}"
      COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endfunction()
