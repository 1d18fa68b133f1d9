#!/bin/bash
# The main job: builds the library, the virtual MCU agent and the demo
# application, starts the virtual MCU on /tmp/mcu_agent, runs the demo
# against it, shows the exchange from both sides and stops the virtual MCU.
#
# Everything it writes stays in the build directory ($MCU_AGENT_BUILD/demo,
# build/demo by default): sim.log (the virtual MCU's side, every frame in
# words), capture.log (both directions, one frame a line) and demo.log.
# Exit status: the demo's (0 when every request of its tour was answered).
#
# usage: scripts/demo.sh [--help]
set -euo pipefail
case "${1:-}" in
  -h | --help)
    sed -n '2,/^set -euo pipefail/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  "") ;;
  *)
    echo "demo.sh: unknown argument $1 (scripts/demo.sh --help)" >&2
    exit 2
    ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MCU_AGENT_BUILD:-$root/build}/demo"
socket=/tmp/mcu_agent

echo "== building into $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMCU_AGENT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target mcu-agent-sim mcu-agent-dump mcu_agent_demo >"$build/build.log" 2>&1 ||
  { cat "$build/build.log"; exit 1; }

sim="$build/tools/mcu-agent-sim"
demo="$build/examples/mcu_agent_demo"
run="$build/run"
mkdir -p "$run"

"$sim" --socket "$socket" --no-console --capture "$run/capture.log" >"$run/sim.log" 2>&1 &
sim_pid=$!
stop_sim() {
  if kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid"
    wait "$sim_pid" || true
  fi
}
trap stop_sim EXIT

# Wait until the virtual MCU listens (or has given up, e.g. because
# another agent already serves the socket).
for _ in $(seq 100); do
  grep -q "listening on" "$run/sim.log" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$run/sim.log"; exit 1; }
  sleep 0.05
done
grep -q "listening on" "$run/sim.log" || { echo "the virtual MCU did not start"; cat "$run/sim.log"; exit 1; }

echo
echo "== the application: examples/demo.c ('->' a request and its result, '<-' a decoded message)"
status=0
"$demo" | tee "$run/demo.log" || status=$?

stop_sim
trap - EXIT
echo
echo "== the virtual MCU: mcu-agent-sim ('app >' what the application sent, 'agent >' what the MCU answered)"
cat "$run/sim.log"
echo
echo "== files: $run/sim.log, $run/capture.log (read it with: $build/tools/mcu-agent-dump -v $run/capture.log)"
exit "$status"
