# Cross-building svfsplit for 32-bit ARM Linux with hardware floating point
# (armhf: Raspberry Pi OS's 32-bit system) with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-user.
set(SVFSPLIT_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SVFSPLIT_QEMU_NAME qemu-arm)
set(SVFSPLIT_DEBIAN_ARCHITECTURE armhf)
set(SVFSPLIT_ARCHIVE_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
