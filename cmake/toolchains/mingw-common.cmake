# Settings shared by the mingw-w64 cross toolchains. The including file sets
# CMAKE_SYSTEM_PROCESSOR and QB_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model gives the C++ library std::mutex, which GoogleTest
# needs; winpthread is linked statically like the rest of the runtime.
set(CMAKE_C_COMPILER ${QB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QB_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${QB_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
