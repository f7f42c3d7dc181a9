# Cross-compiles for Linux ARM64 with Debian's g++-aarch64-linux-gnu; the programs built
# (the C++ unit tests, at discovery and under ctest) run under user-mode emulation.
#
# ZORV_AARCH64_SYSROOT (environment): an arm64 root holding the target's shared
# libraries and, for the module, its Python headers (scripts/aarch64.sh makes one). The
# compiler keeps its own C and C++ libraries; the root's include folder is searched
# last, only for what they lack (the multiarch pyconfig.h of the Python headers).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(ZORV_AARCH64_SYSROOT "$ENV{ZORV_AARCH64_SYSROOT}")
if(NOT ZORV_AARCH64_SYSROOT)
  message(FATAL_ERROR "Set ZORV_AARCH64_SYSROOT to the arm64 root that the emulator runs programs in")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${ZORV_AARCH64_SYSROOT}")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${ZORV_AARCH64_SYSROOT}/usr/include")
set(CMAKE_C_FLAGS_INIT "-idirafter ${ZORV_AARCH64_SYSROOT}/usr/include")

# Libraries and programs of the host must not be picked up for the target; packages
# (Eigen's headers, the GTest built for the target) are looked up where they are named.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH "${ZORV_AARCH64_SYSROOT}")
