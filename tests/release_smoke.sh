#!/usr/bin/env bash
# Starts the two programs of a release build once, as a user would: the demo service must answer
# the catalogue index with 200, and the window (offscreen) must stay up and end with status 0 on
# SIGTERM, the way a session logout ends it.
#   tests/release_smoke.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
server_bin="$build/tools/kora-server/kora-server"
kapo_bin="$build/app/kapo"

work=$(mktemp -d)
server_pid=
kapo_pid=
cleanup() {
  [ -n "$kapo_pid" ] && kill -KILL "$kapo_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "release smoke: $*" >&2; exit 1; }

mkdir -p "$work/root/waves" "$work/home" "$work/run"
chmod 700 "$work/run"
printf 'Animais\r\n\tCães:caes.txt\r\n' > "$work/root/waves/indice.txt"
printf 'latido.wav :Um cão late\r\n' > "$work/root/waves/caes.txt"

# Port 0: the service names the port it was given in its first line.
"$server_bin" --root "$work/root" --listen 127.0.0.1:0 > "$work/server.out" 2>&1 &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's|^kora-server: serving .* on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/server.out")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || fail "kora-server ended: $(cat "$work/server.out")"
  sleep 0.05
done
[ -n "$port" ] || fail "kora-server did not say where it listens"

exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'GET /waves/indice.txt HTTP/1.0\r\n\r\n' >&3
status=$(timeout 5 head -n 1 <&3 | tr -d '\r')
exec 3<&-
case "$status" in
  "HTTP/1."?" 200"*) echo "release smoke: kora-server answered: $status" ;;
  *) fail "kora-server answered \"$status\" to GET /waves/indice.txt" ;;
esac

# A private HOME and runtime folder: no running copy of the user's is found, nothing of theirs
# is read or written.
HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config" \
  QT_QPA_PLATFORM=offscreen "$kapo_bin" > "$work/kapo.out" 2>&1 &
kapo_pid=$!
sleep 2
kill -0 "$kapo_pid" 2>/dev/null || { wait "$kapo_pid" || true; fail "kapo ended within 2 s: $(cat "$work/kapo.out")"; }
kill -TERM "$kapo_pid"
rc=0
for _ in $(seq 100); do
  kill -0 "$kapo_pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$kapo_pid" 2>/dev/null && fail "kapo still runs 5 s after SIGTERM"
wait "$kapo_pid" || rc=$?
kapo_pid=
[ "$rc" -eq 0 ] || fail "kapo ended with status $rc on SIGTERM: $(cat "$work/kapo.out")"
echo "release smoke: kapo stayed up for 2 s and ended with status 0 on SIGTERM"
