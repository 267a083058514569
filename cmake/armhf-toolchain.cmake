# Cross build for the device: 32-bit ARM, hard float, Debian's arm-linux-gnueabihf toolchain
# (package crossbuild-essential-armhf). Programs built here run on a workstation under
# qemu-arm (package qemu-user), with the target's libraries from /usr/arm-linux-gnueabihf.
#
# The armhf preset also reads the BM77_DEVICE_* settings below from its host tree
# (cmake/DeviceTree.cmake): they tell the simulated board how to start these programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(BM77_DEVICE_TOOL_PREFIX arm-linux-gnueabihf-)
set(BM77_DEVICE_ROOT /usr/arm-linux-gnueabihf)
set(BM77_DEVICE_EMULATOR qemu-arm)
set(BM77_DEVICE_LIBRARIES ${BM77_DEVICE_ROOT}/lib)
set(BM77_DEVICE_LOADER ${BM77_DEVICE_LIBRARIES}/ld-linux-armhf.so.3)

set(CMAKE_C_COMPILER ${BM77_DEVICE_TOOL_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${BM77_DEVICE_TOOL_PREFIX}g++)
set(CMAKE_FIND_ROOT_PATH ${BM77_DEVICE_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# There is no binfmt handler for ARM on a workstation (and registering one would change the
# kernel for everyone): ctest starts the target's test programs through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR ${BM77_DEVICE_EMULATOR} -L ${BM77_DEVICE_ROOT})
