# Cross build for 32-bit ARM Linux, hard-float ABI (armhf), with the
# Debian cross compiler.  Test programs run under user-mode emulation:
# CTest and gtest_discover_tests prefix every target executable with
# CMAKE_CROSSCOMPILING_EMULATOR, so the suite runs as it does natively.
#
#   cmake --preset arm            (or -DCMAKE_TOOLCHAIN_FILE=<this file>)
#
# Packages: g++-arm-linux-gnueabihf, qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MCU_AGENT_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${MCU_AGENT_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MCU_AGENT_TARGET_TRIPLE}-g++)
# GCC notes, for every std::vector iterator passed by value, that GCC 7.1
# changed how such arguments are passed on ARM; everything here is built by
# one compiler, so the note (-Wpsabi) only buries real diagnostics.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# The target's libc, libstdc++ and dynamic loader, installed by the cross
# compiler's packages; qemu-arm looks there for the loader and libraries.
set(MCU_AGENT_TARGET_ROOT /usr/${MCU_AGENT_TARGET_TRIPLE})

# nm, objdump, readelf and friends of the target come from the compiler's
# prefix (arm-linux-gnueabihf-nm ...), which CMake derives by itself.

# Find the target's libraries, headers and packages, never the host's; host
# programs (pkg-config, qemu-arm) are still found on the host.  Roots that
# the caller passes (-DCMAKE_FIND_ROOT_PATH=<staging prefix>) are kept.
list(APPEND CMAKE_FIND_ROOT_PATH ${MCU_AGENT_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MCU_AGENT_QEMU_ARM qemu-arm)
if(MCU_AGENT_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MCU_AGENT_QEMU_ARM} -L ${MCU_AGENT_TARGET_ROOT})
else()
  message(WARNING "qemu-arm not found (Debian package qemu-user): the tests cannot run on this host")
endif()
