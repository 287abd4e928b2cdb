# Builds for 32-bit x86 on a 64-bit Debian or Ubuntu machine, against the
# i386 libraries of its multiarch (packages g++-multilib and qtbase5-dev:i386).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_CXX_FLAGS_INIT -m32)
# Where find_package looks for the toolkit's i386 CMake packages.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
