#!/usr/bin/env bash
# make demo: the whole loop without hardware. korvex-host drives the win64
# Korvex.dll under Wine; the driver writes to COM7, which the Wine prefix maps
# to a pty of korvex-board; the board decodes the stream and leaves a picture
# and a command log per demo in build/demo/.
#
# It builds nothing: `make demo` builds the DLL, the host and the board first.
# The Wine prefix is the build tree's one, shared with the tests: made once
# (about 20 seconds) and reused.
#
# Environment: KORVEX_WINE (the 64-bit Wine loader, default
# /usr/lib/wine/wine64), KORVEX_DEMO_SCALE (picture pixels per dot, default 3).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$root/build/demo
run_dir=$out/run
prefix=$root/build/native/wineprefix
wine=${KORVEX_WINE:-/usr/lib/wine/wine64}
board=$root/build/native/korvex-board
host=$root/build/win64/korvex-host.exe
dll=$root/build/win64/Korvex.dll
scale=${KORVEX_DEMO_SCALE:-3}
port=COM7
pty_link=$out/board.pty

say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# The wineserver of the same Wine: beside the loader, else on the PATH.
wineserver=wineserver
for candidate in "$(dirname "$wine")/wineserver64" "$(dirname "$wine")/wineserver"; do
  if [[ -x $candidate ]]; then
    wineserver=$candidate
    break
  fi
done

[[ -x $wine ]] || die "64-bit Wine not found at $wine (make deps installs wine64; or set KORVEX_WINE)"
for file in "$board" "$host" "$dll"; do
  [[ -e $file ]] || die "$file is missing: run make demo (it builds it)"
done

export WINEPREFIX=$prefix WINEDEBUG=-all
# No window system: a message box from the driver then returns at once
# instead of waiting for a click.
unset DISPLAY WAYLAND_DISPLAY

server_pid=
board_pid=
cleanup() {
  local status=$?
  if [[ -n $board_pid ]] && kill -0 "$board_pid" 2>/dev/null; then
    kill "$board_pid" 2>/dev/null || true
    wait "$board_pid" 2>/dev/null || true
  fi
  if [[ -n $server_pid ]]; then
    timeout 30 "$wineserver" -k 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -f "$prefix/dosdevices/${port,,}" "$pty_link"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

mkdir -p "$out" "$run_dir"

# ---------------------------------------------------------------- the prefix
"$root/scripts/wine-prefix.sh" "$prefix" || die "no Wine prefix"

# Our own wineserver, kept for all demos and silenced: Wine prints a dump of
# its objects when a pty it has open goes away (the board exits after each
# demo), and starting Wine once instead of five times saves seconds.
timeout 600 "$wineserver" -f -p 2>/dev/null &
server_pid=$!
# Wait for its socket, so that the first wine does not start a server of its
# own. Debian names the socket's folder in the prefix's "wineserver" file;
# upstream Wine uses /tmp/.wine-UID. Where neither appears, the wait ends
# after five seconds and the demos go on regardless.
socket_name=server-$(stat -c %D "$prefix")-$(printf '%x' "$(stat -c %i "$prefix")")/socket
sockets=("/tmp/.wine-$(id -u)/$socket_name")
if [[ -r $prefix/wineserver ]]; then
  sockets+=("${TMPDIR:-/tmp}/$(cat "$prefix/wineserver")/$socket_name")
fi
for _ in $(seq 50); do
  for socket in "${sockets[@]}"; do
    [[ -S $socket ]] && break 2
  done
  kill -0 "$server_pid" 2>/dev/null || die "the wineserver did not start"
  sleep 0.1
done

ln -sfn "$pty_link" "$prefix/dosdevices/${port,,}"
windows_dll="Z:${dll//\//\\}"

# ---------------------------------------------------------------- the demos
pictures=()
logs=()

# run_demo NAME FOLDER: korvex-board with ${board_args[@]} and korvex-host
# with ${host_args[@]}, the host started in FOLDER (where the driver reads
# and rewrites its config.ini).
run_demo() {
  local name=$1 folder=$2
  local png=$out/$name.png log=$out/$name.log capture=$run_dir/$name.bin
  local board_out=$run_dir/$name.board.txt host_out=$run_dir/$name.host.txt
  rm -f "$png" "$log" "$capture" "$pty_link"

  # The picture is the one the demo ended with, before LCD_CleanUp resets
  # the display.
  timeout 120 "$board" --link "$pty_link" --png-before-reset "$png" --log "$log" --scale "$scale" \
    --capture "$capture" "${board_args[@]}" >"$board_out" 2>&1 &
  board_pid=$!
  for _ in $(seq 50); do
    [[ -L $pty_link ]] && break
    kill -0 "$board_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -L $pty_link ]] || die "korvex-board did not start; see $board_out"

  # Each demo ends with LCD_CleanUp, as a host does: every byte, the closing
  # reset, contrast 0 and light 0 included, must reach the board.
  local status=0
  (cd "$folder" && timeout 120 "$wine" "$host" --dll "$windows_dll" --port "$port" \
    "${host_args[@]}") >"$host_out" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    cat "$host_out" >&2
    die "korvex-host failed for the $name demo (status $status)"
  fi

  # The host counts what the driver should have written; once the board has
  # taken in that much (its capture grows as it reads, after a line with the
  # board's settings), it may stop.
  local expected received=0 header
  expected=$(sed -n 's/^expected on the wire: \([0-9]*\) bytes.*/\1/p' "$host_out")
  [[ -n $expected ]] || die "$name: no byte count in the host's report; see $host_out"
  for _ in $(seq 100); do
    header=$(head -n 1 "$capture" 2>/dev/null | wc -c)
    received=$(($(stat -c %s "$capture" 2>/dev/null || echo 0) - header))
    ((received >= expected)) && break
    sleep 0.1
  done
  kill "$board_pid" 2>/dev/null || true
  status=0
  wait "$board_pid" || status=$?
  board_pid=
  [[ $status -eq 0 ]] || die "korvex-board failed for the $name demo (status $status); see $board_out"
  ((received == expected)) ||
    die "$name: the host expected $expected bytes on the wire, the board received $received"
  [[ -s $png ]] || die "$name: no picture written"
  say "$name: $(sed -n 's/^korvex-board: \([0-9]* bytes,.*\)/\1/p' "$board_out")"
  pictures+=("$png")
  logs+=("$log")
}

# T6963, pitch 6, 240 x 64: the driver's defaults, with the output ports on
# (the graphics demo lights some of the lamps under the display).
t6963=$run_dir/t6963
mkdir -p "$t6963"
# 115200 baud: under Wine on a pty the close waits for the line time of the
# last bytes (a second or two at 19200 for a frame), and the demos need not.
printf '[Korvex]\r\nBaudRate=115200\r\nLCD_UseOutPorts=1\r\n' >"$t6963/config.ini"
board_args=()
for demo in text cgram; do
  host_args=(--demo "$demo")
  run_demo "$demo" "$t6963"
done
host_args=(--demo graphics --ports 0x00F0FFFF)
run_demo graphics "$t6963"
host_args=(--demo clock --time 10:08:21)
run_demo clock "$t6963"

# KS108, 128 x 64: the controller comes from the config.ini in the host's
# folder, and the board is built the same way.
ks108=$run_dir/ks108
mkdir -p "$ks108"
printf '[Korvex]\r\nBaudRate=115200\r\nLCD_Controller=108\r\n' >"$ks108/config.ini"
board_args=(--controller 108 --pitch 8 --width 128 --height 64)
host_args=(--demo ks108)
run_demo ks108 "$ks108"

echo
echo "Pictures:"
printf '  %s\n' "${pictures[@]#"$root"/}"
echo "Command logs:"
printf '  %s\n' "${logs[@]#"$root"/}"
