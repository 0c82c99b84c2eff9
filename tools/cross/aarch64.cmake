# 64-bit ARM (Raspberry Pi 3, 4 and 5 on a 64-bit system).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VANTORAMA_TRIPLE aarch64-linux-gnu)
set(VANTORAMA_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
