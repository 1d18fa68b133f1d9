#!/bin/bash
# Checks the link's concurrency model (mcu_agent_client/model/link.pml)
# with Spin: each scenario exhaustively (every schedule of its threads),
# then each fault variant, which Spin must refute with a counterexample.
# Fails on any error in a scenario, on a search that was cut short (depth
# or memory), and on a fault variant that verifies clean.  What the model
# proves and leaves out: docs/model.md.
#
#   bash scripts/model.sh            # all scenarios and fault variants
#   bash scripts/model.sh send       # one scenario (or fault): by name
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
model="$root/mcu_agent_client/model"
work="${MCU_AGENT_BUILD:-$root/build}/model"
mkdir -p "$work"
command -v spin >/dev/null || { echo "spin is not installed (scripts/deps.sh installs it)" >&2; exit 1; }

# name | model file | switches [| compiler optimisation].  Each scenario
# runs the agent, the receive thread, the packet-handle thread (or, in the
# application's dispatch mode, the application's dispatching thread) and the
# checker beside the threads it names.  A small search is compiled with
# -O0: compiling pan.c with -O2 takes longer than such a search.
scenarios=(
  # an application thread sends twice while the entry point reconnects
  # and the kernel hands the closed descriptor numbers out again (two
  # sending threads: SENDERS=2 SENDS=1, beyond this run's time budget)
  "send|link.pml|-DSENDERS=1 -DSENDS=2 -DAPP_ENTRIES=2 -DMAXFR=0 -DHALFCLOSE=0 -DRELISTEN=0"
  # frames and events in order; a frame handler calls the entry point
  # twice while the agent closes, half-closes and comes back; the
  # connection handler is set at any moment
  "deliver|link.pml|-DPH_ENTRIES=2 -DSET_HANDLER=1"
  # a frame handler sends while the agent stops reading
  "stall|link.pml|-DPH_SENDS=1 -DSTALL=1 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # the agent is down at the first entry point; the interval is set at
  # any moment; the log handler calls the entry point on "disconnected"
  "reconnect|link.pml|-DAGENT_UP=0 -DSET_RECONNECT=1 -DLOG_ENTRIES=1 -DMAXFR=1"
  # deliveries on the application's thread: it polls the descriptor and
  # dispatches one or a batch (the rest carried), or stops dispatching;
  # the descriptor is readable whenever items wait; two connections
  "dispatch|link.pml|-DDISPATCH_APP=1 -DDISPATCHERS=1 -DMAXFR=2 -DSESSIONS=2 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # a second thread dispatches at any moment: refused (EBUSY) while the
  # first holds the role, else it delivers
  "dispatch2|link.pml|-DDISPATCH_APP=1 -DDISPATCHERS=2 -DMAXFR=1 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0"
  # a thread removes a listener while the packet-handle thread may call
  # it; another listener removes itself from inside its call
  "remove|link.pml|-DLISTENERS=2 -DREMOVE_SELF=1 -DMAXFR=2 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # a thread shuts the library down while another makes a call (the
  # request is a send) and another calls the entry point (before, during
  # or after); the agent keeps its connection until the client ends it
  "shutdown|link.pml|-DSHUTDOWN=1 -DCALLS=1 -DSENDERS=1 -DSENDS=1 -DMAXFR=0 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0 -DAGENT_KEEPS=1"
  # a call written to a connection that is freed with no 0 (dropped by the
  # next entry point, or folded) ends with ENDED, never at its deadline
  "calls-dropped|link.pml|-DSTRICT_ENDED -DCALLS=1 -DSENDERS=1 -DSENDS=1 -DAPP_ENTRIES=2 -DMAXFR=0 -DHALFCLOSE=0 -DRELISTEN=0"
)
faults=(
  "F1|fault_f1.pml|-DAGENT_UP=0 -DSET_RECONNECT=1 -DSESSIONS=1 -DMAXFR=0 -DRELISTEN=0|-O0"
  "F6|fault_f6.pml|-DPH_ENTRIES=2 -DMAXFR=2|-O0"
  "F7|fault_f7.pml|-DLOG_ENTRIES=1 -DMAXFR=0 -DSESSIONS=2 -DRELISTEN=0|-O0"
  # make_current() resetting `users`: a late count-in is wiped, the next
  # end() closes the descriptor under a sender
  "users-reset|link.pml|-DFAULT_USERS_RESET -DSENDERS=1 -DSENDS=2 -DAPP_ENTRIES=2 -DMAXFR=0 -DHALFCLOSE=0 -DRELISTEN=0"
  # drop_empty_queued() freeing a record after waiting for its senders
  # without looking again: its 1 was taken meanwhile, its 0 never comes
  "drop-recheck|link.pml|-DFAULT_DROP_NO_RECHECK -DSENDERS=1 -DSENDS=2 -DAPP_ENTRIES=2 -DMAXFR=0 -DHALFCLOSE=0 -DRELISTEN=0"
  # settle_readability() leaving the byte in the pipe when nothing waits:
  # readable with nothing to deliver, for good
  "pipe-not-drained|link.pml|-DFAULT_PIPE_NOT_DRAINED -DDISPATCH_APP=1 -DDISPATCHERS=1 -DMAXFR=2 -DSESSIONS=2 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # settle_readability() judging by the carry alone (no refill_carry()):
  # drained while items wait to be collected, the application polls for good
  "pipe-drained-early|link.pml|-DFAULT_PIPE_DRAINED_EARLY -DDISPATCH_APP=1 -DDISPATCHERS=1 -DMAXFR=2 -DSESSIONS=2 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # McuAgent_remove_listener() not waiting for a call under way on the
  # packet-handle thread: it returns 0 while the listener runs
  "remove-no-wait|link.pml|-DFAULT_REMOVE_NO_WAIT -DLISTENERS=2 -DREMOVE_SELF=1 -DMAXFR=2 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # removal from inside the listener's own call waiting for that call:
  # it times out instead of returning at once
  "remove-self-waits|link.pml|-DFAULT_REMOVE_SELF_WAITS -DLISTENERS=2 -DREMOVE_SELF=1 -DMAXFR=2 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # drop_empty_queued() and the fold in end() freeing a record without
  # ending the calls written to it: such a call waits for its deadline
  "drop-ends-no-call|link.pml|-DFAULT_DROP_ENDS_NO_CALL -DSTRICT_ENDED -DCALLS=1 -DSENDERS=1 -DSENDS=1 -DAPP_ENTRIES=2 -DMAXFR=0 -DHALFCLOSE=0 -DRELISTEN=0|-O0"
  # end_everything() ending a call whose result was already in: two results
  "ended-twice|link.pml|-DFAULT_ENDED_TWICE -DSHUTDOWN=1 -DCALLS=1 -DSENDERS=1 -DSENDS=1 -DMAXFR=0 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0 -DAGENT_KEEPS=1"
  # shutdown_link() leaving `stopping` set: the entry point never starts again
  "stopping-kept|link.pml|-DFAULT_STOPPING_KEPT -DSHUTDOWN=1 -DCALLS=1 -DSENDERS=1 -DSENDS=1 -DMAXFR=0 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0 -DAGENT_KEEPS=1|-O0"
  # shutdown_link() resetting the state without joining the threads: a
  # connection still being read is wiped
  "shutdown-no-join|link.pml|-DFAULT_SHUTDOWN_NO_JOIN -DSHUTDOWN=1 -DCALLS=1 -DSENDERS=1 -DSENDS=1 -DMAXFR=0 -DSESSIONS=1 -DHALFCLOSE=0 -DRELISTEN=0 -DAGENT_KEEPS=1|-O0"
)

# Compiles and runs pan for one entry; prints its figures.  Safety only
# (assertions; the end-state checks are the Checker's assertions at
# `timeout`, so Spin's own end-state check is off: -E), states stored
# compressed (COLLAPSE).
verify() {  # <dir> <model file> <switches> [<optimisation>]
  local dir="$1" file="$2" switches="$3" opt="${4:--O2}"
  rm -rf "$dir" && mkdir -p "$dir" && cp "$model"/*.pml "$dir"/
  (
    cd "$dir"
    # shellcheck disable=SC2086
    spin $switches -a "$file" >spin.log 2>&1 || { cat spin.log; exit 1; }
    gcc "$opt" -DSAFETY -DCOLLAPSE -DVECTORSZ=2048 -DMEMLIM=8000 -w -o pan pan.c
    start=$(date +%s%N)
    ./pan -E -m2000000 -w26 >pan.out 2>&1 || true
    end=$(date +%s%N)
    awk -v t="$(( (end - start) / 1000000 ))" '
      /errors:/ { errors = $NF }
      /states, stored/ { stored = $1 }
      /transitions/ { transitions = $1 }
      END { printf "  %s states, %s transitions, %s error(s), %.1f s\n", stored, transitions, errors, t / 1000 }' pan.out
  )
}

errors_of() { sed -n 's/.*errors: \([0-9]*\).*/\1/p' "$1/pan.out"; }
cut_short() { grep -qE "max search depth too small|out of memory|reached -DMEMLIM" "$1/pan.out"; }

only="${1:-}"
failed=0
total_start=$(date +%s)
for entry in "${scenarios[@]}"; do
  IFS='|' read -r name file switches opt <<<"$entry"
  [ -z "$only" ] || [ "$only" = "$name" ] || continue
  echo "scenario $name ($switches)"
  dir="$work/$name"
  verify "$dir" "$file" "$switches" "$opt"
  if [ "$(errors_of "$dir")" != 0 ] || cut_short "$dir"; then
    echo "  FAILED: the model of the link has an error in scenario $name:" >&2
    grep -E "pan:|error" "$dir/pan.out" >&2 || true
    # shellcheck disable=SC2086
    [ -f "$dir/$file.trail" ] && (cd "$dir" && spin $switches -t -p -k "$file.trail" "$file" >trail.txt 2>&1; grep -E "proc|assert" trail.txt | tail -n 40) >&2
    failed=1
  fi
done
for entry in "${faults[@]}"; do
  IFS='|' read -r name file switches opt <<<"$entry"
  [ -z "$only" ] || [ "$only" = "$name" ] || continue
  echo "fault $name put back ($file $switches)"
  dir="$work/$name"
  verify "$dir" "$file" "$switches" "$opt"
  if [ "$(errors_of "$dir")" = 0 ]; then
    echo "  FAILED: Spin found no error with $name put back" >&2
    failed=1
    continue
  fi
  echo "  counterexample (spin -t -p), first lines after the start-up:"
  # shellcheck disable=SC2086
  (cd "$dir" && spin $switches -t -p -k "$file.trail" "$file" 2>&1) >"$dir/trail.txt" || true
  grep -E "assertion violated|text of failed" "$dir/trail.txt" | sed -n 1,2p | sed 's/^/    /'
  grep -E "^ *[0-9]+:\s+proc.*\[" "$dir/trail.txt" | grep -v "init:" | cut -c1-140 | sed 's/^/    /' >"$dir/steps.txt" || true
  sed -n 1,12p "$dir/steps.txt"
  echo "    ..."
  tail -n 16 "$dir/steps.txt"
  echo "    (whole trail: $dir/trail.txt)"
done
echo "model: $(( $(date +%s) - total_start )) s in all"
exit "$failed"
