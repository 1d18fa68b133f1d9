#!/bin/bash
# Another user at the agent's path, end to end: an impostor (uid 65533)
# binds the path first; the demo application, trusting the agent's uid
# (65534), refuses it and says so; once the real agent (the virtual MCU
# under 65534) listens there, the demo reaches it.  Needs root (setpriv);
# exit 77 (skipped) otherwise.
#
# usage: squatting_test.sh SIM DEMO
set -uo pipefail
sim="$1" demo="$2"
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "squatting_test: needs root and setpriv to run an agent under another uid (skipped)"
  exit 77
fi
dir="$(mktemp -d /tmp/mcu_squat.XXXXXX)"
chmod 1777 "$dir"          # like /tmp: every user may bind there
socket="$dir/mcu_agent"
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
as() { local uid="$1"; shift; setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"; }
wait_for() { for _ in $(seq 100); do [ -e "$1" ] && return 0; sleep 0.05; done; return 1; }
fail() { echo "squatting_test: $*"; exit 1; }

as 65533 "$sim" --no-console --socket "$socket" --ready-file "$dir/impostor.ready" >"$dir/impostor.log" 2>&1 &
pids+=($!)
wait_for "$dir/impostor.ready" || { cat "$dir/impostor.log"; fail "the impostor did not start"; }

MCU_AGENT_SOCKET="$socket" MCU_AGENT_TRUSTED_UID=65534 timeout 20 "$demo" >"$dir/refused.log" 2>&1
status=$?
cat "$dir/refused.log"
[ "$status" -ne 0 ] || fail "the demo talked to the impostor"
grep -q "runs as uid 65533 (gid 65533), not trusted; set MCU_AGENT_TRUSTED_UID=65533" "$dir/refused.log" ||
  fail "the refusal does not name the impostor's uid"
grep -q "connected" "$dir/impostor.log" && grep -q "MCU_CMD" "$dir/impostor.log" &&
  fail "the impostor read a request"

kill "${pids[0]}"; wait "${pids[0]}" 2>/dev/null
rm -f "$socket"
as 65534 "$sim" --no-console --socket "$socket" --ready-file "$dir/agent.ready" >"$dir/agent.log" 2>&1 &
pids+=($!)
wait_for "$dir/agent.ready" || { cat "$dir/agent.log"; fail "the agent did not start"; }
MCU_AGENT_SOCKET="$socket" MCU_AGENT_TRUSTED_UID=65534 timeout 20 "$demo" >"$dir/trusted.log" 2>&1 ||
  { cat "$dir/trusted.log"; fail "the demo did not reach the trusted agent"; }
echo "squatting_test: the impostor was refused, the trusted agent reached"
