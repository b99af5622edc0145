#!/usr/bin/env bash
# kora-server against nginx on loopback, all serving the same folder from tmpfs in the same run.
# nginx runs twice: as usually configured, handing files to the socket inside the kernel
# (sendfile on), and copying them through its own buffers as kora-server does (sendfile off).
#
# 1. One large file fetched by curl, taking the servers in turn: medians of curl's wall time
#    (so the throughput) and of each server's CPU per fetch.
# 2. Many clients at once (curl --parallel), each fetching its own 1 MB file: every copy
#    compared with the served bytes, the wall time, each server's CPU and peak memory.
#
#   bench/server_VsNginx.sh [KORA_SERVER [MIB [RUNS [CLIENTS]]]]
#
# KORA_SERVER defaults to build-rel/tools/kora-server/kora-server (a Release build), MIB to 1024,
# RUNS to 5, CLIENTS to 200.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/nginx.sh"

server=${1:-build-rel/tools/kora-server/kora-server}
mib=${2:-1024}
runs=${3:-5}
clients=${4:-200}

nginx=$(find_nginx)
[ -x "$server" ] || { echo "no kora-server at $server: build it first (Release)" >&2; exit 2; }

work=$(mktemp -d /dev/shm/kapo-serve-XXXXXX)
chmod 755 "$work"
declare -A base pid
cleanup() {
    for p in "${pid[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# The served folder in the service's layout; the parallel files are 1 MB of distinct bytes each.
www="$work/www"
mkdir -p "$www/waves" "$work/copies"
head -c $((mib << 20)) /dev/urandom > "$www/waves/big.txt"
for i in $(seq "$clients"); do head -c 1000000 /dev/urandom > "$www/waves/p$i.txt"; done

servers=(kora-server nginx nginx-copying)
port=$(free_port)
"$server" --root "$www" --listen "127.0.0.1:$port" > "$work/kora.log" 2>&1 &
pid[kora-server]=$!
base[kora-server]="http://127.0.0.1:$port"
port=$(free_port)
NGINX_SENDFILE=on nginx_start "$nginx" "$work/nginx" "$www" "$port"
pid[nginx]=$nginx_pid
base[nginx]="http://127.0.0.1:$port"
port=$(free_port)
NGINX_SENDFILE=off nginx_start "$nginx" "$work/nginx-copying" "$www" "$port"
pid[nginx-copying]=$nginx_pid
base[nginx-copying]="http://127.0.0.1:$port"
for name in "${servers[@]}"; do wait_for "${base[$name]}/waves/big.txt"; done
tick=$(getconf CLK_TCK)

# fetch NAME: one large fetch by curl from the server NAME, recorded with the server's CPU.
fetch() {
    local name=$1 before after
    before=$(cpu_ticks "${pid[$name]}")
    timed "$work/runs" "$name" curl -s -o /dev/null "${base[$name]}/waves/big.txt"
    after=$(cpu_ticks "${pid[$name]}")
    echo "$name $(awk -v a="$after" -v b="$before" -v t="$tick" 'BEGIN { print (a - b) / t }')" >> "$work/cpu"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for name in "${servers[@]}"; do fetch "$name"; done  # warm-up, not counted
rm -f "$work/runs" "$work/cpu"
for _ in $(seq "$runs"); do
    for name in "${servers[@]}"; do fetch "$name"; done
done

# parallel NAME: every client at once; prints "wall cpu peakKiB".
parallel() {
    local name=$1 before after start end i
    {
        for i in $(seq "$clients"); do
            printf 'url = "%s/waves/p%d.txt"\noutput = "%s/copies/%s-p%d.txt"\n' \
                "${base[$name]}" "$i" "$work" "$name" "$i"
        done
    } > "$work/$name.curl"
    before=$(cpu_ticks "${pid[$name]}")
    start=$(date +%s.%N)
    curl -s --fail --parallel --parallel-immediate --parallel-max "$clients" -K "$work/$name.curl" 2> "$work/curl.err" ||
        { echo "$name: some parallel fetch failed" >&2; cat "$work/curl.err" >&2; exit 1; }
    end=$(date +%s.%N)
    after=$(cpu_ticks "${pid[$name]}")
    for i in $(seq "$clients"); do
        cmp -s "$www/waves/p$i.txt" "$work/copies/$name-p$i.txt" ||
            { echo "$name: the copy of p$i.txt differs from the served file" >&2; exit 1; }
    done
    rm -f "$work/copies/$name"-*
    echo "$(awk -v s="$start" -v e="$end" -v a="$after" -v b="$before" -v t="$tick" \
        'BEGIN { printf "%.3f %.3f", e - s, (a - b) / t }') $(awk '/^VmHWM/ { print $2 }' "/proc/${pid[$name]}/status")"
}
declare -A par
for name in "${servers[@]}"; do par[$name]=$(parallel "$name"); done

echo "$mib MiB to curl on loopback from tmpfs, medians of $runs runs taking the servers in turn;"
echo "then $clients clients at once, 1 MB each (wall, server CPU, server peak memory)"
echo "load average before: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %8s %8s %12s | %9s %9s %12s\n' "" "wall s" "MB/s" "server CPU s" "par. wall" "par. CPU" "peak memory"
for name in "${servers[@]}"; do
    w=$(median "$work/runs" "$name" 2)
    c=$(median "$work/cpu" "$name" 2)
    read -r pw pc pm <<< "${par[$name]}"
    printf '%-14s %8.3f %8.0f %12.3f | %9.3f %9.3f %8.1f MiB\n' "$name" "$w" \
        "$(awk -v m="$mib" -v w="$w" 'BEGIN { print m * 1048576 / w / 1e6 }')" "$c" "$pw" "$pc" \
        "$(awk -v k="$pm" 'BEGIN { print k / 1024 }')"
done
kw=$(median "$work/runs" kora-server 2)
for name in nginx nginx-copying; do
    awk -v kw="$kw" -v nw="$(median "$work/runs" "$name" 2)" -v n="$name" \
        'BEGIN { printf "kora-server / %s: throughput %.2f\n", n, nw / kw }'
done
echo "all $clients parallel copies from each server were byte for byte the served files"
