#!/bin/bash
# The whole suite, cross-built for 32-bit ARM Linux (hard float) with the
# Debian cross compiler and run under user-mode emulation (qemu-arm): CTest
# starts every test program through the emulator.
set -euo pipefail
cmake --preset arm -S "$MCU_AGENT_ROOT" -B "$MCU_AGENT_BUILD/arm" >/dev/null
cmake --build "$MCU_AGENT_BUILD/arm" -j"$(nproc)"
ctest --test-dir "$MCU_AGENT_BUILD/arm" --output-on-failure -j"$(nproc)"
