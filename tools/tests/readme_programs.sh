#!/bin/bash
# The README's programs run as they are printed: every ```c block (or
# ```cpp block, through the C++ interface) that follows a line
# "<!-- program: NAME -->" is written out, compiled with every warning an
# error against the public headers and the shared library, and run against
# a virtual MCU on a socket of its own; it must exit 0.
#
# usage: readme_programs.sh README SIM CC INCLUDE LIBRARY_DIR [CFLAGS [CXX [CXXFLAGS]]]
set -uo pipefail
shopt -s nullglob
readme="$1" sim="$2" cc="$3" include="$4" libdir="$5"
read -r -a cflags <<<"${6:-}"
cxx="${7:-c++}"
read -r -a cxxflags <<<"${8:-}"
dir="$(mktemp -d /tmp/mcu_readme.XXXXXX)"
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
fail() { echo "readme_programs: $*"; exit 1; }

awk -v dir="$dir" '
  /^<!-- program: [a-z_]+ -->$/ { name = $3; next }
  name != "" && /^```c$/ { out = dir "/" name ".c"; next }
  name != "" && /^```cpp$/ { out = dir "/" name ".cpp"; next }
  out != "" && /^```$/ { close(out); out = ""; name = ""; next }
  out != "" { print > out }
' "$readme"
programs=("$dir"/*.c "$dir"/*.cpp)
(( ${#programs[@]} )) || fail "no program blocks in $readme"

"$sim" --no-console --socket "$dir/agent" --ready-file "$dir/agent.ready" >"$dir/agent.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$dir/agent.ready" ] && break; sleep 0.05; done
[ -e "$dir/agent.ready" ] || { cat "$dir/agent.log"; fail "the virtual MCU did not start"; }

for source in "${programs[@]}"; do
  name="$(basename "${source%.*}")"
  if [ "${source##*.}" = cpp ]; then
    compile=("$cxx" "${cxxflags[@]}" -std=c++17)
  else
    compile=("$cc" "${cflags[@]}" -std=c11)
  fi
  "${compile[@]}" -Wall -Wextra -Werror -I"$include" "$source" -o "$dir/$name" \
    -L"$libdir" -lmcu_agent_client -Wl,-rpath,"$libdir" -pthread 2>"$dir/$name.cc" ||
    { cat "$dir/$name.cc"; fail "$name does not compile as printed"; }
  MCU_AGENT_SOCKET="$dir/agent" timeout 30 "$dir/$name" >"$dir/$name.out" 2>&1
  status=$?
  echo "--- $name (exit $status)"
  cat "$dir/$name.out"
  [ "$status" -eq 0 ] || fail "$name exited with $status"
done
echo "readme_programs: ${#programs[@]} program(s) ran as printed"
