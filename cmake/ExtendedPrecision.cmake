# Prices need a binary float with a 64-bit significand: the x87 long double on
# x86, Boost.Multiprecision's software type elsewhere. Stop here, with the
# reason, when the target has neither, rather than fail deep in the build or
# build a gateway whose prices differ by a coin.
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_INCLUDES ${CMAKE_SOURCE_DIR})
set(CMAKE_REQUIRED_LIBRARIES Boost::headers)
if(ZEL_FORCE_BOOST_EXTENDED)
  set(CMAKE_REQUIRED_DEFINITIONS -DZEL_FORCE_BOOST_EXTENDED=1)
endif()
check_cxx_source_compiles([[
#include <cfloat>
#include "gateway/ExtendedFloat.h"
static_assert(std::numeric_limits<zel::extended::Extended>::digits == 64);
int main() { return zel::extended::D(zel::extended::E(1.0)) == 1.0 ? 0 : 1; }
]] ZEL_HAVE_EXTENDED_64)
check_cxx_source_compiles([[
#include <cfloat>
static_assert(LDBL_MANT_DIG == 64);
int main() { return 0; }
]] ZEL_LONG_DOUBLE_IS_64)
cmake_pop_check_state()

if(NOT ZEL_HAVE_EXTENDED_64)
  if(ZEL_LONG_DOUBLE_IS_64)
    set(_zel_ld "long double has a 64-bit significand but is the x87 type only on x86 (or ZEL_FORCE_BOOST_EXTENDED is set)")
  else()
    set(_zel_ld "long double has no 64-bit significand")
  endif()
  message(FATAL_ERROR
    "No 64-bit-significand arithmetic for prices on ${CMAKE_SYSTEM_PROCESSOR}: ${_zel_ld}, "
    "and Boost.Multiprecision (boost/multiprecision/cpp_bin_float.hpp) does not compile for "
    "this target. Install Boost's headers for it (Debian: libboost-dev).")
endif()
message(STATUS "Prices: 64-bit-significand arithmetic available")
