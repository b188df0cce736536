# Cross-building svfsplit for 64-bit ARM Linux (arm64: Raspberry Pi 3 and
# later on a 64-bit system) with Debian's g++-aarch64-linux-gnu; tests run
# under qemu-user.
set(SVFSPLIT_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SVFSPLIT_QEMU_NAME qemu-aarch64)
set(SVFSPLIT_DEBIAN_ARCHITECTURE arm64)
# Pointer authentication (-mbranch-protection) with qemu's cheap hash: its
# emulation of the real one makes the tests ten times slower.
set(SVFSPLIT_QEMU_CPU_OPTIONS ",pauth-impdef=on")
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
