#!/usr/bin/env bash
# Fetches one large file from nginx on loopback with httpget and with curl into tmpfs,
# alternating, and prints the medians of wall and CPU time, their ratios and httpget's peak
# memory. Then a 4 MB download at 1 MB/s shows what waiting costs httpget.
#
#   bench/http_FetchVsCurl.sh [HTTPGET [MIB [RUNS]]]
#
# HTTPGET defaults to build/rel/tools/httpget (a Release build), MIB to 1024, RUNS to 5.
set -euo pipefail

httpget=${1:-build/rel/tools/httpget}
mib=${2:-1024}
runs=${3:-5}

nginx=$(command -v nginx || true)
[ -z "$nginx" ] && [ -x /usr/sbin/nginx ] && nginx=/usr/sbin/nginx
if [ -z "$nginx" ]; then
    echo "this benchmark needs nginx (apt-get install nginx-light)" >&2
    exit 2
fi
[ -x "$httpget" ] || { echo "no httpget at $httpget: build it first (Release)" >&2; exit 2; }
command -v curl >/dev/null || { echo "this benchmark needs curl" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "this benchmark needs /usr/bin/time (apt-get install time)" >&2; exit 2; }

work=$(mktemp -d /dev/shm/kapo-fetch-XXXXXX)
chmod 755 "$work"
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/slow" "$work/logs" "$work/tmp"
head -c $((mib << 20)) /dev/urandom > "$work/www/big.bin"
head -c 4000000 /dev/urandom > "$work/www/slow/four.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/logs/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    default_type application/octet-stream;
    client_body_temp_path $work/tmp;
    proxy_temp_path $work/tmp;
    fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp;
    scgi_temp_path $work/tmp;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
        location /slow/ { limit_rate 1m; }
    }
}
CONF
"$nginx" -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
base="http://127.0.0.1:$port"
for _ in $(seq 100); do
    curl -s -o /dev/null -r 0-0 "$base/big.bin" && break
    sleep 0.05
done

out="$work/out.bin"
# time FILE NAME COMMAND...: appends "NAME wall cpu peakKiB" to FILE.
timed() {
    local file=$1 name=$2
    shift 2
    rm -f "$out"
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > /dev/null
    read -r wall user sys peak < "$work/time"
    echo "$name $wall $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $peak" >> "$file"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
timed "$work/warm" warm "$httpget" "$base/big.bin" "$out"
cmp -s "$out" "$work/www/big.bin" || { echo "httpget's copy differs from the served file" >&2; exit 1; }
timed "$work/warm" warm curl -s -o "$out" "$base/big.bin"

for i in $(seq "$runs"); do
    timed "$work/runs" httpget "$httpget" "$base/big.bin" "$out"
    timed "$work/runs" curl curl -s -o "$out" "$base/big.bin"
done
rm -f "$out"

median() { # NAME COLUMN
    awk -v n="$1" -v c="$2" '$1 == n { print $c }' "$work/runs" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
hw=$(median httpget 2); hc=$(median httpget 3); hm=$(median httpget 4)
cw=$(median curl 2); cc=$(median curl 3)
maxm=$(awk '$1 == "httpget" { print $4 }' "$work/runs" | sort -g | tail -1)

timed "$work/slow" slow "$httpget" "$base/slow/four.bin" "$out"
cmp -s "$out" "$work/www/slow/four.bin" || { echo "httpget's slow copy differs" >&2; exit 1; }
read -r _ sw sc _ < "$work/slow"

echo "fetching $mib MiB from nginx on loopback into /dev/shm, medians of $runs alternating runs"
echo "load average before: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %8s %8s\n' "" "wall s" "CPU s"
printf '%-8s %8.3f %8.3f\n' httpget "$hw" "$hc" curl "$cw" "$cc"
awk -v hw="$hw" -v cw="$cw" -v hc="$hc" -v cc="$cc" -v hm="$hm" -v mm="$maxm" 'BEGIN {
    printf "httpget / curl: wall %.2f, CPU %.2f\n", hw / cw, hc / cc
    printf "httpget peak memory: median %.1f MiB, largest %.1f MiB\n", hm / 1024, mm / 1024
}'
printf 'httpget, 4 MB at 1 MB/s: wall %.2f s, CPU %.3f s\n' "$sw" "$sc"
