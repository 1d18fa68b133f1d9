#!/bin/bash
# Builds the benchmarks and runs the end-to-end one: the library against a
# plain raw-socket loop on this machine, both directions, a request's
# awaited answer, and bursts and latency again with the application's
# thread dispatching; printed side by side with their ratios, with the
# heap allocations per frame and per call.  A benchmark, not a test: it
# reports figures and never fails on one.
#
#   scripts/bench.sh             the full run (a few minutes)
#   scripts/bench.sh --quick     a tenth of the frames, 1 s idle window
#   scripts/bench.sh --micro     the microbenchmarks of the hot paths instead
#   scripts/bench.sh -- ARGS     ARGS go to the benchmark program (--help)
#
# The library connects to the fixed path /tmp/mcu_agent, where the benchmark
# is the agent server.  So that nothing else on the machine answers there or
# loses its server, the run gets a /tmp of its own when the system allows
# it (root, or unprivileged user namespaces).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MCU_AGENT_BUILD:-$root/build}/bench"
program=link_bench
args=()
while (($#)); do
  case "$1" in
    --quick) args+=(--quick) ;;
    --micro) program=micro_bench ;;
    --) shift; args+=("$@"); break ;;
    *) args+=("$1") ;;
  esac
  shift
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMCU_AGENT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$program" >/dev/null
exe="$build/bench/$program"
[ -x "$exe" ] || { echo "$program was not built (for micro_bench: install libbenchmark-dev, scripts/deps.sh)" >&2; exit 1; }

private_tmp='mount -t tmpfs -o mode=1777 none /tmp && exec "$0" "$@"'
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  exec unshare -m --propagation private sh -c "$private_tmp" "$exe" ${args[@]+"${args[@]}"}
elif unshare -rm true 2>/dev/null; then
  exec unshare -rm --propagation private sh -c "$private_tmp" "$exe" ${args[@]+"${args[@]}"}
else
  echo "note: no private /tmp available; using the shared /tmp/mcu_agent" >&2
  exec "$exe" ${args[@]+"${args[@]}"}
fi
