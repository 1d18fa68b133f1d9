#!/bin/bash
# Builds every fuzz harness (fuzz/*_fuzzer.cpp) with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer and runs each for a
# bounded time (FUZZ_SECONDS, 60 by default) from its seed corpus.  Any
# finding fails the stage; the input that caused it is kept in
# $MCU_AGENT_BUILD/fuzz/artifacts.  Then replays the corpus grown by the
# run through a coverage build and reports the line coverage of the
# library's sources.
#
# The frame stream harness installs its handlers through the entry point,
# which tries the fixed socket path: nothing may listen there meanwhile
# (run it with a private /tmp on a shared machine).
set -euo pipefail
seconds="${FUZZ_SECONDS:-60}"
build="$MCU_AGENT_BUILD/fuzz"
names=()
for source in "$MCU_AGENT_ROOT"/fuzz/*_fuzzer.cpp; do names+=("$(basename "$source" _fuzzer.cpp)"); done

configure() {  # <build dir> <compile flags>
  cmake -S "$MCU_AGENT_ROOT" -B "$1" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMCU_AGENT_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="$2" -DCMAKE_CXX_FLAGS="$2" >/dev/null
}

build_targets() {  # <build dir> <targets...>
  local dir="$1"
  shift
  cmake --build "$dir" -j"$(nproc)" --target "$@" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }
}

configure "$build" "-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
build_targets "$build" "${names[@]/%/_fuzzer}"
mkdir -p "$build/artifacts"
for name in "${names[@]}"; do
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  log="$build/$name.log"
  if ! "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
      "$corpus" "$MCU_AGENT_ROOT/fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzzer $name found a fault; the input is in $build/artifacts" >&2
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "fuzzer $name: $execs executions in $seconds s, $rate per second, corpus $(ls "$corpus" | wc -l) inputs"
done

# Coverage: the replay programs, built with clang's source coverage, run
# over the seed corpus and everything the fuzzers added to it.
coverage="$MCU_AGENT_BUILD/fuzz-coverage"
configure "$coverage" "-fprofile-instr-generate -fcoverage-mapping"
build_targets "$coverage" "${names[@]/%/_replay}"
rm -f "$coverage"/*.profraw
objects=()
for name in "${names[@]}"; do
  LLVM_PROFILE_FILE="$coverage/$name.profraw" "$coverage/fuzz/${name}_replay" \
    "$MCU_AGENT_ROOT/fuzz/corpus/$name" "$build/corpus/$name" >/dev/null 2>&1
  objects+=(-object "$coverage/fuzz/${name}_replay")
done
llvm-profdata merge -sparse "$coverage"/*.profraw -o "$coverage/fuzz.profdata"
sources=("$MCU_AGENT_ROOT"/mcu_agent_client/*.cpp "$MCU_AGENT_ROOT"/mcu_agent_client/families/*.cpp)
report() {
  # Both replay programs define the harness entry points, which llvm-cov
  # reports as mismatched functions; they are not library code.
  llvm-cov report "${objects[@]:1}" -instr-profile="$coverage/fuzz.profdata" "$@" 2>/dev/null
}
report "${sources[@]}"
# The request functions are outside the harnesses' reach; the receive path
# is what they exercise: the ring, frame cutting, dispatch, every rule.
report -show-functions "${sources[@]}" | awk '
  $1 ~ /ring_|socket_receive_buffer_msg_|receive_packet_handle|find_row|rule_/ { lines += $5; missed += $6 }
  END { printf "receive path (ring, dispatch, decoding rules): %d of %d lines covered (%.1f%%)\n",
               lines - missed, lines, 100 * (lines - missed) / lines }'
