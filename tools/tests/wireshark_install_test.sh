#!/bin/bash
# Installs the build as `cmake --install BUILD --prefix /usr` does, into a
# staging folder, then asks the Wireshark of this machine, as a user other
# than root, where it looks for Lua plugins and extcap programs: the
# dissector and mcu-agent-extcap must be there, and tshark pointed at the
# staged folders must find both.
set -eu
build=$1
if ! command -v tshark >/dev/null; then
    echo "SKIPPED: tshark is not installed (Debian package tshark): the install is not checked against it"
    exit 77
fi
stage=$(mktemp -d /tmp/mcu-wireshark-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
mkdir -m 777 "$stage/home"
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null

as=()
if [ "$(id -u)" = 0 ]; then as=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
ws() { "${as[@]}" env HOME="$stage/home" "$@"; }
fail() { echo "FAILED: $*"; exit 1; }

folders=$(ws tshark -G folders 2>/dev/null)
extcap=$(sed -n 's/^Extcap path:[[:space:]]*//p' <<<"$folders" | cut -d: -f1)
plugins=$(sed -n 's/^Global Lua Plugins:[[:space:]]*//p' <<<"$folders")
[ -n "$extcap" ] && [ -n "$plugins" ] || fail "tshark -G folders names no extcap or Lua plugin folder"
[ -x "$stage$extcap/mcu-agent-extcap" ] || fail "mcu-agent-extcap is not in $extcap: $(cd "$stage" && find . -name 'mcu*extcap*')"
[ -f "$stage$plugins/mcu_agent.lua" ] || fail "mcu_agent.lua is not in $plugins: $(cd "$stage" && find . -name '*.lua')"

found=(env WIRESHARK_EXTCAP_DIR="$stage$extcap" WIRESHARK_PLUGIN_DIR="$stage$plugins")
ws "${found[@]}" tshark -D 2>/dev/null | grep -q mcu_agent_tap || fail "tshark -D does not list mcu_agent_tap"
ws "${found[@]}" tshark -G protocols 2>/dev/null | grep -qw mcu_agent || fail "tshark has no mcu_agent dissector"
echo "installed in $extcap and $plugins, and tshark finds both"
