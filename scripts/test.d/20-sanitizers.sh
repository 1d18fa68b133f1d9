#!/bin/bash
# The whole suite twice more: built with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake preset "asan"), then with
# ThreadSanitizer (preset "tsan").  Every report ends its test process with
# a failure, so the stage passes only when both runs are clean.  No report
# is suppressed.
set -euo pipefail
# ASan: also catch use of a returned frame's stack and initialisation-order
# bugs.  UBSan: -fno-sanitize-recover already stops at the first report;
# print where it happened.  TSan: stop at the first report, with both
# stacks of a lock-order inversion.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
for preset in asan tsan; do
  echo "--- $preset"
  cmake --preset "$preset" -S "$MCU_AGENT_ROOT" -B "$MCU_AGENT_BUILD/$preset" >/dev/null
  cmake --build "$MCU_AGENT_BUILD/$preset" -j"$(nproc)"
  # The packaging tests build and run uninstrumented applications against
  # the installed library, which an instrumented library cannot serve; the
  # native and ARM stages run them.
  ctest --test-dir "$MCU_AGENT_BUILD/$preset" --output-on-failure -j"$(nproc)" -E '^packaging_'
done
