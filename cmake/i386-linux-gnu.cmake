# Builds 32-bit x86 programs on a 64-bit x86 Debian system with its multilib
# compiler (g++-multilib) and the i386 libraries (e.g. libbz2-dev:i386):
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
