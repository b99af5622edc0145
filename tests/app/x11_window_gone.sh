#!/usr/bin/env bash
# The program on a real X server (Xvfb): a window destroyed by another program (xdotool
# windowclose) ends the process, which writes its settings; a later start whose running copy
# does not answer (stopped with SIGSTOP) opens its own window within a few seconds.
#   x11_window_gone.sh PROGRAM
# Exits 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
program=$1
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || { echo "no Xvfb or xdotool"; exit 77; }

dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$dir/run HOME=$dir ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=xcb
mkdir -m 700 "$XDG_RUNTIME_DIR"
display=":$(( 60 + $$ % 200 ))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp > "$dir/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display
mkdir "$dir/prog"
cp "$program" "$dir/prog/kapo"

# The window of a process, once it is mapped; fails after about 20 s.
window_of() {
  for _ in $(seq 200); do
    w=$(xdotool search --onlyvisible --pid "$1" 2>/dev/null | tail -1 || true)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.1
  done
  return 1
}
# Waits up to $2 tenths of a second for the process to end; its exit status, or 255.
wait_end() {
  for _ in $(seq "$2"); do kill -0 "$1" 2>/dev/null || { wait "$1"; return $?; }; sleep 0.1; done
  return 255
}

"$dir/prog/kapo" > "$dir/first.log" 2>&1 &
first=$!
pids+=($first)
w=$(window_of "$first") || { echo "the first copy shows no window"; exit 1; }
xdotool windowclose "$w"
set +e
wait_end "$first" 50
status=$?
set -e
[ "$status" = 0 ] || { echo "the process lived on without its window (status $status)"; cat "$dir/first.log"; exit 1; }
[ -f "$dir/prog/kapo.ini" ] || { echo "no settings written"; exit 1; }

"$dir/prog/kapo" > "$dir/stuck.log" 2>&1 &
stuck=$!
pids+=($stuck)
window_of "$stuck" > /dev/null || { echo "the copy to be stopped shows no window"; exit 1; }
kill -STOP "$stuck"
start=$(date +%s%N)
"$dir/prog/kapo" > "$dir/later.log" 2>&1 &
later=$!
pids+=($later)
window_of "$later" > /dev/null || { echo "a start beside a stopped copy shows no window"; cat "$dir/later.log"; exit 1; }
echo "a start beside a stopped copy showed its window after $(( ($(date +%s%N) - start) / 1000000 )) ms"
echo "ok"
