# What the ARM toolchain files share: Debian's cross compilers for
# SVFSPLIT_TRIPLET, the target's libraries in /usr/SVFSPLIT_TRIPLET, and
# qemu-user to run what is built, at test time.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${SVFSPLIT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SVFSPLIT_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${SVFSPLIT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# On qemu's most capable processor of the kind ("max", whatever QEMU_CPU
# says), so that the tests run every version of the kernels: the NEON one on
# armhf too.
find_program(SVFSPLIT_QEMU NAMES ${SVFSPLIT_QEMU_NAME})
if(SVFSPLIT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SVFSPLIT_QEMU} -cpu max${SVFSPLIT_QEMU_CPU_OPTIONS} -L /usr/${SVFSPLIT_TRIPLET})
endif()
