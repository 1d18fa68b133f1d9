#!/bin/bash
# The whole suite, built natively.
set -euo pipefail
cmake --preset native -S "$MCU_AGENT_ROOT" -B "$MCU_AGENT_BUILD/native" >/dev/null
cmake --build "$MCU_AGENT_BUILD/native" -j"$(nproc)"
ctest --test-dir "$MCU_AGENT_BUILD/native" --output-on-failure -j"$(nproc)"
