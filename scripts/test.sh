#!/bin/bash
# Runs every test stage in scripts/test.d/ in order: the native suite
# first, then the stages that other builds add (sanitizers, the 32-bit ARM
# target, fuzzers).  Stops at the first stage that fails.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export MCU_AGENT_ROOT="$(cd "$here/.." && pwd)"
export MCU_AGENT_BUILD="${MCU_AGENT_BUILD:-$MCU_AGENT_ROOT/build}"
for stage in "$here"/test.d/*.sh; do
  echo "=== $(basename "$stage")"
  start=$(date +%s)
  bash "$stage"
  echo "=== $(basename "$stage") passed in $(( $(date +%s) - start )) s"
done
