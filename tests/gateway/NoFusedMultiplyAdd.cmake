# Fails when the machine code of the given libraries holds a fused
# multiply-add: a price rounds at every step where it is written, and a
# contracted a*b+c rounds once. Run as
#   cmake -DOBJDUMP=... -DLIBRARIES=a.a;b.a -P NoFusedMultiplyAdd.cmake
# ARM: fmadd fmsub fnmadd fnmsub, vector fmla fmls; x86: the vfmadd family.
set(fused "[ \t](fn?m(add|sub)|fml[as]|vfn?m(add|sub)[0-9a-z]*)[ \t]")
foreach(library IN LISTS LIBRARIES)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${library}
                  OUTPUT_VARIABLE code RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} could not read ${library}")
  endif()
  string(REGEX MATCHALL "[^\n]*${fused}[^\n]*" hits "${code}")
  if(hits)
    list(JOIN hits "\n" lines)
    message(FATAL_ERROR "fused multiply-add in ${library}:\n${lines}")
  endif()
  message(STATUS "${library}: no fused multiply-add")
endforeach()
