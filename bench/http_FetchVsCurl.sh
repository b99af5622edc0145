#!/usr/bin/env bash
# Fetches one large file from nginx on loopback with httpget and with curl into tmpfs,
# alternating, and prints the medians of wall and CPU time, their ratios and httpget's peak
# memory. Then a 4 MB download at 1 MB/s shows what waiting costs httpget.
#
#   bench/http_FetchVsCurl.sh [--https] [HTTPGET [MIB [RUNS]]]
#
# --https serves over TLS with a certificate for localhost from a CA made for the run, which
# both clients are given to trust. HTTPGET defaults to build/rel/tools/httpget (a Release
# build), MIB to 1024, RUNS to 5.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/nginx.sh"

scheme=http
if [ "${1:-}" = --https ]; then
    scheme=https
    shift
fi
httpget=${1:-build/rel/tools/httpget}
mib=${2:-1024}
runs=${3:-5}

nginx=$(find_nginx)
[ -x "$httpget" ] || { echo "no httpget at $httpget: build it first (Release)" >&2; exit 2; }

work=$(mktemp -d /dev/shm/kapo-fetch-XXXXXX)
chmod 755 "$work"
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/slow"
head -c $((mib << 20)) /dev/urandom > "$work/www/big.bin"
head -c 4000000 /dev/urandom > "$work/www/slow/four.bin"
port=$(free_port)
trust=()
if [ $scheme = https ]; then
    command -v openssl >/dev/null || { echo "--https needs openssl" >&2; exit 2; }
    (
        cd "$work"
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
            -subj /CN=bench-ca -keyout ca.key -out ca.pem 2>/dev/null
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
            -keyout server.key -out server.csr 2>/dev/null
        printf 'subjectAltName=DNS:localhost\n' > san.ext
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile san.ext -out server.pem 2>/dev/null
    )
    nginx_start "$nginx" "$work/nginx" "$work/www" "$port" "$work/server.pem" "$work/server.key"
    trust=(--cacert "$work/ca.pem")
    base="https://localhost:$port"
else
    nginx_start "$nginx" "$work/nginx" "$work/www" "$port"
    base="http://127.0.0.1:$port"
fi
wait_for "$base/big.bin" "${trust[@]}"

out="$work/out.bin"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rm -f "$out"
timed "$work/warm" warm "$httpget" "${trust[@]}" "$base/big.bin" "$out"
cmp -s "$out" "$work/www/big.bin" || { echo "httpget's copy differs from the served file" >&2; exit 1; }
timed "$work/warm" warm curl -s "${trust[@]}" -o "$out" "$base/big.bin"

for _ in $(seq "$runs"); do
    rm -f "$out"
    timed "$work/runs" httpget "$httpget" "${trust[@]}" "$base/big.bin" "$out"
    rm -f "$out"
    timed "$work/runs" curl curl -s "${trust[@]}" -o "$out" "$base/big.bin"
done
rm -f "$out"

hw=$(median "$work/runs" httpget 2); hc=$(median "$work/runs" httpget 3); hm=$(median "$work/runs" httpget 4)
cw=$(median "$work/runs" curl 2); cc=$(median "$work/runs" curl 3)
maxm=$(awk '$1 == "httpget" { print $4 }' "$work/runs" | sort -g | tail -1)

timed "$work/slow" slow "$httpget" "${trust[@]}" "$base/slow/four.bin" "$out"
cmp -s "$out" "$work/www/slow/four.bin" || { echo "httpget's slow copy differs" >&2; exit 1; }
read -r _ sw sc _ < "$work/slow"

echo "fetching $mib MiB from nginx over $scheme on loopback into /dev/shm, medians of $runs alternating runs"
echo "load average before: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %8s %8s\n' "" "wall s" "CPU s"
printf '%-8s %8.3f %8.3f\n' httpget "$hw" "$hc" curl "$cw" "$cc"
awk -v hw="$hw" -v cw="$cw" -v hc="$hc" -v cc="$cc" -v hm="$hm" -v mm="$maxm" 'BEGIN {
    printf "httpget / curl: wall %.2f, CPU %.2f\n", hw / cw, hc / cc
    printf "httpget peak memory: median %.1f MiB, largest %.1f MiB\n", hm / 1024, mm / 1024
}'
printf 'httpget, 4 MB at 1 MB/s: wall %.2f s, CPU %.3f s\n' "$sw" "$sc"
