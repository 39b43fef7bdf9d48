# Helpers shared by the test programs and the benchmarks that start real
# processes; defined once, whichever includes it first.
if(NOT TARGET zel_test_support)
  add_library(zel_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/TempDir.cpp
              ${CMAKE_CURRENT_LIST_DIR}/NotifySocket.cpp ${CMAKE_CURRENT_LIST_DIR}/HeldPort.cpp)
  target_include_directories(zel_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
endif()
