# The end-to-end harness (child processes, terminals, the whole stack on
# loopback) as a library; included by the e2e tests and by bench_gateway, and
# defined once whichever comes first.
include(${CMAKE_CURRENT_LIST_DIR}/../support/Support.cmake)
if(NOT TARGET zel_e2e_harness)
  set(_zel_e2e_dir ${CMAKE_CURRENT_LIST_DIR})
  add_library(zel_e2e_harness STATIC
    ${_zel_e2e_dir}/Bytes.cpp
    ${_zel_e2e_dir}/ChildProcess.cpp
    ${_zel_e2e_dir}/Terminal.cpp
    ${_zel_e2e_dir}/HostileClients.cpp
    ${_zel_e2e_dir}/GatewayStack.cpp
    ${_zel_e2e_dir}/DelayProxy.cpp
    ${_zel_e2e_dir}/PgCluster.cpp
  )
  target_include_directories(zel_e2e_harness PUBLIC ${_zel_e2e_dir})
  target_link_libraries(zel_e2e_harness PUBLIC zel_core zel_test_support)
  # The programs where this build put them: an ASan build runs its own, a
  # cross build its own under the emulator.
  include(ProgramForTests)
  zel_program_for_tests(_zel_e2e_gateway ZEL_RV7300)
  zel_program_for_tests(_zel_e2e_srv_zel srv_zel)
  zel_program_for_tests(_zel_e2e_simulator rv7300_sim)
  target_compile_definitions(zel_e2e_harness PRIVATE
    ZEL_E2E_GATEWAY="${_zel_e2e_gateway}"
    ZEL_E2E_SRV_ZEL="${_zel_e2e_srv_zel}"
    ZEL_E2E_SIMULATOR="${_zel_e2e_simulator}")
  # What a test measures of a program's process is the emulator's there.
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    target_compile_definitions(zel_e2e_harness PUBLIC ZEL_E2E_EMULATED)
  endif()
  add_dependencies(zel_e2e_harness ZEL_RV7300 srv_zel rv7300_sim)
endif()
