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
  # The programs where this build put them: an ASan build runs its own.
  target_compile_definitions(zel_e2e_harness PRIVATE
    ZEL_E2E_GATEWAY="$<TARGET_FILE:ZEL_RV7300>"
    ZEL_E2E_SRV_ZEL="$<TARGET_FILE:srv_zel>"
    ZEL_E2E_SIMULATOR="$<TARGET_FILE:rv7300_sim>")
  add_dependencies(zel_e2e_harness ZEL_RV7300 srv_zel rv7300_sim)
endif()
