#!/bin/bash
# Runs the example head unit for three seconds against the virtual MCU on a
# socket of its own, the virtual MCU checking the scenario (--strict: it
# exits 1 when an expectation failed or a frame was flagged).
#   run_against_sim.sh "EMULATOR" MCU_AGENT_SIM HEAD_UNIT_APP SCENARIO
# EMULATOR: the words that run a cross build's programs, or "".
set -u
read -r -a emulator <<<"$1"
sim=$2 app=$3 scenario=$4
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
export MCU_AGENT_SOCKET=$dir/agent
"${emulator[@]}" "$sim" --socket "$MCU_AGENT_SOCKET" --no-console --strict --scenario "$scenario" >"$dir/sim.log" 2>&1 &
sim_pid=$!
"${emulator[@]}" "$app" 3 >"$dir/app.log" 2>&1
app_status=$?
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_status=$?
cat "$dir/sim.log" "$dir/app.log"
[ "$app_status" -eq 0 ] || { echo "head unit exited $app_status"; exit 1; }
[ "$sim_status" -eq 0 ] || { echo "mcu-agent-sim exited $sim_status"; exit 1; }
grep -q "head unit: radio [1-9][0-9]*, blower 6" "$dir/app.log" || { echo "head unit did not follow the MCU"; exit 1; }
