# Cross build with Debian's cross toolchain (crossbuild-essential-<arch>)
# against the target architecture's own -dev packages, installed next to
# the native ones (dpkg --add-architecture; scripts/setup --cross <arch>).
# Included by toolchain-<arch>.cmake, which sets CORVANE_TRIPLET,
# CORVANE_PROCESSOR and CORVANE_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CORVANE_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVANE_TRIPLET})
set(CMAKE_C_COMPILER ${CORVANE_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CORVANE_TRIPLET}-g++)
# Libraries, headers and CMake packages (GTest) come from the multiarch
# directories /usr/lib/<triplet> and /usr/include/<triplet>; the wrapper
# reads only the target's .pc files.
set(PKG_CONFIG_EXECUTABLE ${CORVANE_TRIPLET}-pkg-config)

# The target's programs (test discovery, ctest) run under qemu-user; the
# target's loader and libraries are where multiarch put them.
find_program(CORVANE_QEMU_PROGRAM ${CORVANE_QEMU})
if(CORVANE_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_QEMU_PROGRAM})
endif()
