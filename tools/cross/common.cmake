# Shared part of the cross builds: Debian's cross compiler for VANTORAMA_TRIPLE, its own
# libraries as the target's root, and qemu-user to run what is built (tests included).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VANTORAMA_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VANTORAMA_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VANTORAMA_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTORAMA_QEMU} -L /usr/${VANTORAMA_TRIPLE})
# pkg-config looks only at the target's libraries (Debian's multiarch folder for it).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VANTORAMA_TRIPLE}/pkgconfig)
