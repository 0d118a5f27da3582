# Linux on 64-bit ARM (Raspberry Pi 3 and later, ARM laptops and servers).
set(cross_arch aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
