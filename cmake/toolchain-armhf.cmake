# 32-bit Arm boards (hard float): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CORVANE_TRIPLET arm-linux-gnueabihf)
set(CORVANE_PROCESSOR armv7l)
set(CORVANE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
