# Cross-building svfsplit for 32-bit ARM Linux, from ARMv6 on (Raspberry Pi 1
# and Zero, Pi 2 and later, BeagleBone, Zynq-7000), with Debian's
# g++-arm-linux-gnueabi; tests run under qemu-user. Its C library and C++
# runtime are ARMv5TE code, where armhf's are ARMv7 Thumb-2, and the program
# is linked statically, so one program serves Raspberry Pi OS's armhf and
# Debian's armel alike: it is packaged as armhf, which is what those boards'
# systems call themselves. Soft floating point, as its libraries; NEON is
# chosen at run time where the processor has it.
set(SVFSPLIT_TRIPLET arm-linux-gnueabi)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SVFSPLIT_QEMU_NAME qemu-arm)
set(SVFSPLIT_DEBIAN_ARCHITECTURE armhf)
set(SVFSPLIT_ARCHIVE_ARCHITECTURE armhf)
# GCC notes that the passing of some arguments changed in GCC 7.1: that
# matters only beside objects built by an older GCC, and every object here
# is built by this one.
set(CMAKE_CXX_FLAGS_INIT "-march=armv6 -marm -Wno-psabi")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
