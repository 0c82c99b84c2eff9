# 32-bit ARM with hardware floating point (32-bit Raspberry Pi OS).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VANTORAMA_TRIPLE arm-linux-gnueabihf)
set(VANTORAMA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
