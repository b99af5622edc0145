# Shared by the benchmark scripts (sourced, not run): a private nginx on a free loopback port,
# a timer for whole commands and medians over its records.
#
# Needs: nginx (apt-get install nginx-light), curl, /usr/bin/time (apt-get install time).

find_nginx() {
    local n
    n=$(command -v nginx || true)
    [ -z "$n" ] && [ -x /usr/sbin/nginx ] && n=/usr/sbin/nginx
    if [ -z "$n" ]; then
        echo "this benchmark needs nginx (apt-get install nginx-light)" >&2
        exit 2
    fi
    command -v curl >/dev/null || { echo "this benchmark needs curl" >&2; exit 2; }
    [ -x /usr/bin/time ] || { echo "this benchmark needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
    echo "$n"
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# nginx_start NGINX DIR ROOT PORT [CERT KEY]: serves ROOT on 127.0.0.1:PORT (over TLS when a
# certificate is given) from one worker process, with /slow/ limited to 1 MB/s; keeps its files
# in DIR and sets nginx_pid. NGINX_SENDFILE=off makes it copy files through its own buffers.
nginx_start() {
    local nginx=$1 dir=$2 root=$3 port=$4 cert=${5:-} key=${6:-} listen tls=
    mkdir -p "$dir/logs" "$dir/tmp"
    listen="127.0.0.1:$port"
    if [ -n "$cert" ]; then
        listen="$listen ssl"
        tls="ssl_certificate $cert; ssl_certificate_key $key;"
    fi
    cat > "$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $dir/logs/error.log;
pid $dir/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile ${NGINX_SENDFILE:-on};
    default_type application/octet-stream;
    client_body_temp_path $dir/tmp;
    proxy_temp_path $dir/tmp;
    fastcgi_temp_path $dir/tmp;
    uwsgi_temp_path $dir/tmp;
    scgi_temp_path $dir/tmp;
    server {
        listen $listen;
        $tls
        root $root;
        location /slow/ { limit_rate 1m; }
    }
}
CONF
    "$nginx" -p "$dir" -c "$dir/nginx.conf" &
    nginx_pid=$!
}

# wait_for URL [CURL OPTIONS...]: until the server answers, at most 5 s.
wait_for() {
    local url=$1 _
    shift
    for _ in $(seq 100); do
        curl -s "$@" -o /dev/null -r 0-0 "$url" && return 0
        sleep 0.05
    done
    echo "no answer from $url" >&2
    exit 1
}

# timed FILE NAME COMMAND...: runs the command (its output thrown away) and appends
# "NAME wall cpu peakKiB" to FILE.
timed() {
    local file=$1 name=$2 wall user sys peak
    shift 2
    /usr/bin/time -f "%e %U %S %M" -o "$file.time" "$@" > /dev/null
    read -r wall user sys peak < "$file.time"
    echo "$name $wall $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $peak" >> "$file"
}

# median FILE NAME COLUMN: the median of one column over the records of NAME.
median() {
    awk -v n="$2" -v c="$3" '$1 == n { print $c }' "$1" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# cpu_ticks PID: the user and system time a running process has used, in clock ticks.
cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}
