# zel_program_for_tests(<var> <target>): the path a test starts one of our
# programs by. In a cross build an arm64 program cannot be started directly,
# so the path is that of a small script that runs it under the emulator.
function(zel_program_for_tests var target)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  set(script ${CMAKE_BINARY_DIR}/tests/emulated/${target})
  set(${var} ${script} PARENT_SCOPE)
  # One script per program, however many tests start it.
  get_property(made GLOBAL PROPERTY ZEL_EMULATED_PROGRAMS)
  if(target IN_LIST made)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY ZEL_EMULATED_PROGRAMS ${target})
  file(GENERATE OUTPUT ${script}
    CONTENT "#!/bin/sh\nexec ${emulator} \"$<TARGET_FILE:${target}>\" \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
endfunction()
