#!/usr/bin/env bash
# The program under a real Wayland compositor: weston's headless back end draws the desktop in
# one plain colour, Kapo is started on it, and a screenshot must show the window with
# transparent corners: no key-colour pixel anywhere, the desktop at the four corners of the
# window's box and the window's own pixels inside it.
#   wayland_shape.sh PROGRAM
# Exits 77 (skipped) when weston or Qt's Wayland plugin is missing.
set -euo pipefail
program=$1
command -v weston >/dev/null && command -v weston-screenshooter >/dev/null || { echo "no weston"; exit 77; }
compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so" >/dev/null || { echo "no qt6-wayland"; exit 77; }

dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$dir/run HOME=$dir
mkdir -m 700 "$XDG_RUNTIME_DIR"
printf '[shell]\nbackground-color=0xff204080\npanel-position=none\n' > "$dir/weston.ini"

# --use-pixman: the headless back end draws nothing otherwise; --debug lets the screenshooter in.
weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 --socket=kapo-test --debug \
       --config="$dir/weston.ini" > "$dir/weston.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/kapo-test" ] && break; sleep 0.1; done
export WAYLAND_DISPLAY=kapo-test

# A copy of the program keeps its settings file in the scratch folder.
mkdir "$dir/prog"
cp "$program" "$dir/prog/kapo"
QT_QPA_PLATFORM=wayland ASAN_OPTIONS=detect_leaks=0 "$dir/prog/kapo" > "$dir/kapo.log" 2>&1 &
pids+=($!)

check() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys
from PIL import Image
img = Image.open(sys.argv[1]).convert("RGB")
w, h = img.size
px = img.load()
desk = px[0, 0]  # the desktop, in whatever shade the shell draws it
xs, ys = [], []
magenta = 0
for y in range(h):
    for x in range(w):
        p = px[x, y]
        if p == (255, 0, 255):
            magenta += 1
        if p != desk:
            xs.append(x)
            ys.append(y)
if not xs:
    sys.exit(2)  # not shown yet
x0, x1, y0, y1 = min(xs), max(xs), min(ys), max(ys)
box = (x1 - x0 + 1, y1 - y0 + 1)
corners = [px[x, y] for x, y in ((x0, y0), (x1, y0), (x0, y1), (x1, y1))]
print(f"window box {box} at {x0},{y0}; key-colour pixels {magenta}; corners {corners}")
ok = box == (600, 358) and magenta == 0 and all(c == desk for c in corners)
ok = ok and px[(x0 + x1) // 2, y0 + 1] != desk and px[x0 + 300, y0 + 179] != desk
sys.exit(0 if ok else 1)
EOF
}

cd "$dir"
for _ in $(seq 40); do
  sleep 0.5
  rm -f wayland-screenshot*.png
  timeout 10 weston-screenshooter >/dev/null 2>&1 || continue
  shot=$(ls wayland-screenshot*.png 2>/dev/null | head -n1)
  [ -n "$shot" ] || continue
  rc=0
  check "$shot" || rc=$?
  [ "$rc" -eq 2 ] && continue
  [ "$rc" -eq 0 ] && { echo "transparent corners under weston"; exit 0; }
  cp "$shot" /tmp/kapo-wayland-shape-failed.png
  echo "screenshot kept in /tmp/kapo-wayland-shape-failed.png"
  exit 1
done
echo "the window never showed"; cat "$dir/kapo.log" "$dir/weston.log" | tail -n 40
exit 1
