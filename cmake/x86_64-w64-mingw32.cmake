# Cross-compiles for 64-bit Windows with Debian's mingw-w64 GCC, the variant whose C++
# library has std::thread (its threads model is posix, on winpthreads); the programs
# built run under wine (scripts/windows.sh). They are linked statically (libgcc,
# libstdc++, winpthread), so that they need no DLL beside the system's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Libraries and headers of the host must not be picked up for the target; packages
# (Eigen's headers, the GoogleTest built for the target) are looked up where they are named.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
