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
  file(GENERATE OUTPUT ${script}
    CONTENT "#!/bin/sh\nexec ${emulator} \"$<TARGET_FILE:${target}>\" \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
  set(${var} ${script} PARENT_SCOPE)
endfunction()
