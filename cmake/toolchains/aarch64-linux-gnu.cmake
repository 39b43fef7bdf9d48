# Cross build for 64-bit ARM Linux with Debian's aarch64-linux-gnu compiler.
# The arm64 libraries come from the folder scripts/install-deps --arm64 fills
# (ZEL_ARM64_SYSROOT); programs and tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(DEFINED ENV{ZEL_ARM64_SYSROOT})
  set(ZEL_ARM64_SYSROOT "$ENV{ZEL_ARM64_SYSROOT}" CACHE PATH "arm64 libraries")
else()
  set(ZEL_ARM64_SYSROOT /opt/zel-rv7300-arm64 CACHE PATH "arm64 libraries")
endif()
set(_zel_arm64_libdirs
    ${ZEL_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu ${ZEL_ARM64_SYSROOT}/lib/aarch64-linux-gnu)
list(JOIN _zel_arm64_libdirs ":" _zel_arm64_path)

# Look for libraries and packages for the target only, never the build host's.
set(CMAKE_FIND_ROOT_PATH ${ZEL_ARM64_SYSROOT} /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR} ${ZEL_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${ZEL_ARM64_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZEL_ARM64_SYSROOT})

# Debian's layout: the target's own headers beside the shared ones.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${ZEL_ARM64_SYSROOT}/usr/include/aarch64-linux-gnu ${ZEL_ARM64_SYSROOT}/usr/include)

# The libraries' own dependencies (libssl for libcpp-httplib, ...) are found
# at link time and at run time in the same folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_zel_arm64_path}")
# Qt's arm64 packages from the folder, its build tools (moc, rcc, uic) from
# this machine's Qt of the same version.
set(QT_HOST_PATH /usr CACHE PATH "The build machine's Qt")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake CACHE PATH "Its CMake packages")

# The folder holds Debian's arm64 C library too: qemu takes it as the root
# the arm64 programs load their libraries (and iconv its converters) from.
# Qt looks for its plug-ins' folder with statx, which qemu 7.2 does not
# redirect into that root: they are named where they are.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${ZEL_ARM64_SYSROOT}
    -E QT_PLUGIN_PATH=${ZEL_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/qt6/plugins)
