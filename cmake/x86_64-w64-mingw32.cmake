# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 toolchain, the variant whose C++
# threads are built on winpthreads (std::thread needs it).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALLIVAN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALLIVAN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLIVAN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TALLIVAN_MINGW_TRIPLE}-windres)

# Libraries and headers come from the toolchain's own root only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TALLIVAN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
