# Cross-building svfsplit for 32-bit ARM Linux with hardware floating point
# (armhf: Raspberry Pi OS's 32-bit system) with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-user.
set(SVFSPLIT_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SVFSPLIT_QEMU_NAME qemu-arm)
set(SVFSPLIT_DEBIAN_ARCHITECTURE armhf)
# What the program needs of the target's libraries, as dpkg-shlibdeps finds
# for the amd64 package (it cannot read another architecture's packages):
# glibc 2.36 (arc4random, which the C++ runtime linked in calls).
set(SVFSPLIT_DEBIAN_DEPENDS "libc6 (>= 2.36)")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
