# 64-bit Arm boards: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CORVANE_TRIPLET aarch64-linux-gnu)
set(CORVANE_PROCESSOR aarch64)
set(CORVANE_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
