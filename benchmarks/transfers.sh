#!/usr/bin/env bash
# tarn against curl on the same URLs of one nginx on 127.0.0.1: the user-list download, the job
# log and the user-list upload, each at 64 MB, 256 MB and 1 GB. Per transfer, one warm-up pair,
# then PAIRS pairs run in turn; prints the median of the wall-time ratios (tarn / curl), each
# one's peak resident memory, and the TCP connections nginx saw per tarn call.
#
# Usage: transfers.sh [--build DIR] [--windows-build DIR] [--sizes "64 256 1024"] [--pairs N]
#   --build          Linux build tree with host/tarn (default: build)
#   --windows-build  also run tarn.exe from DIR/host under Wine, reported apart (default: none)
# Installs nginx-light and GNU time when they are missing. Not part of the tests.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
windows=""
sizes="64 256 1024"
pairs=5
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --windows-build) windows="$(cd "$2" && pwd)"; shift 2 ;;
    --sizes) sizes="$2"; shift 2 ;;
    --pairs) pairs="$2"; shift 2 ;;
    *) echo "transfers.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
tarn="$build/host/tarn"
[ -x "$tarn" ] || { echo "transfers.sh: no $tarn; build first" >&2; exit 1; }

need=()
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
[ -x /usr/bin/time ] || need+=(time)
command -v curl >/dev/null || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${need[@]}" >/dev/null
fi

for name in http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY; do
  unset "$name"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tarn-transfers.XXXXXX")"
chmod 755 "$work"  # nginx reads the files as its own user
nginx_pid=""
sink_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null || true
  if [ -n "$windows" ]; then WINEPREFIX="$work/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port="$(free_port)"
sink_port="$(free_port)"

mkdir -p "$work/www" "$work/temp" "$work/files" "$work/out"
# The appliance's fixed answers: a status that asks for a sign-in and grants both rights, and a
# login page with the two hidden fields.
printf 'mchiman=1\nuser=admin\ntarget=ADMIN,LOG\n' >"$work/www/status"
cat >"$work/www/loginpage" <<'EOF'
<html><body><form>
<input type="hidden" name="authMD5in" value="0123456789abcdef">
<input type="hidden" name="authTime" value="1765000000">
</form></body></html>
EOF

cat >"$work/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
daemon off;
events { worker_connections 64; }
http {
  log_format conn '\$connection \$connection_requests \$request_method \$uri \$status';
  access_log $work/access.log conn;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 75s;
  keepalive_requests 10000;
  client_max_body_size 0;
  upstream sink {
    server 127.0.0.1:$sink_port;
    keepalive 8;
  }
  server {
    listen 127.0.0.1:$port;
    location = /script/_userlogin/zc_auth.shp { alias $work/www/status; }
    location = /script/_userlogin/userlogin_zc.shp { alias $work/www/loginpage; }
    location = /cgi-bin/mainte/userexport.cgi { alias $work/www/userexport; }
    location = /cgi-bin/log/jobLog.cgi { alias $work/www/joblog; }
    location /cgi-bin/ {
      proxy_pass http://sink;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_request_buffering off;
      proxy_buffering off;
    }
  }
}
EOF

/usr/bin/python3 "$root/benchmarks/body_sink.py" "$sink_port" &
sink_pid=$!
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/script/_userlogin/zc_auth.shp" && break
  sleep 0.1
done

# Files of SIZE MiB: the user list is CSV lines; the job log is CSV lines with UTF-8 text and
# now and then a malformed byte, which the re-encoding replaces.
make_files() {
  /usr/bin/python3 - "$1" "$work/files" <<'EOF'
import sys
mib, folder = int(sys.argv[1]), sys.argv[2]
users = b"".join(b"user%07d,User %07d,%07d@example.org,ADMIN\r\n" % (i, i, i) for i in range(20000))
log = b"".join(("%07d,2026-12-10 12:00:00,\u5370\u5237,\u6587\u66f8%d.pdf,3,A4\r\n" % (i, i)).encode()
               + (b"\xff\r\n" if i % 997 == 0 else b"") for i in range(16000))
for name, block in (("users", users), ("joblog", log)):
    block = (block * (1 + (1 << 20) // len(block)))[: 1 << 20]
    with open("%s/%s-%d" % (folder, name, mib), "wb") as f:
        for _ in range(mib):
            f.write(block)
EOF
}

# Runs a command; prints "wall_us peak_kib cpu_ms" (cpu: user and system time).
measure() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f '%M %U %S' -o "$work/rss" "$@" >/dev/null 2>"$work/stderr" || {
    echo "transfers.sh: failed: $*" >&2
    cat "$work/stderr" >&2
    exit 1
  }
  end=$(date +%s%N)
  local rss user sys
  read -r rss user sys < <(tail -n 1 "$work/rss")
  echo "$(( (end - start) / 1000 )) $rss $(awk -v u="$user" -v s="$sys" 'BEGIN{printf "%d", (u + s) * 1000}')"
}

# Distinct connections nginx logged for the requests after line FROM of the access log.
connections_since() {
  tail -n +"$(( $1 + 1 ))" "$work/access.log" | awk '{print $1}' | sort -u | wc -l
}

# report LABEL: reads "tarn_us tarn_kib tarn_cpu_ms curl_us curl_kib curl_cpu_ms conns" lines
# from $work/pairs.
report() {
  /usr/bin/python3 - "$1" "$work/pairs" <<'EOF'
import statistics, sys
label, path = sys.argv[1], sys.argv[2]
rows = [list(map(int, l.split())) for l in open(path) if l.strip()]
ratios = [r[0] / r[3] for r in rows]
med = lambda i: statistics.median(r[i] for r in rows)
# Peak memory: the median of the runs' peaks, and the highest in brackets. CPU: user + system.
print("%-34s ratio %.3f (%s)  peak tarn %.1f [%.1f] MiB  curl %.1f [%.1f] MiB  wall tarn %.2f s"
      "  curl %.2f s  cpu tarn %.2f s  curl %.2f s  conns/call %s"
      % (label, statistics.median(ratios), " ".join("%.2f" % r for r in ratios),
         med(1) / 1024, max(r[1] for r in rows) / 1024, med(4) / 1024, max(r[4] for r in rows) / 1024,
         med(0) / 1e6, med(3) / 1e6, med(2) / 1e3, med(5) / 1e3,
         "/".join(sorted({str(r[6]) for r in rows}))), flush=True)
EOF
}

url="http://127.0.0.1:$port"
host="127.0.0.1:$port"

# bench LABEL KIND SIZE TARN-COMMAND...: KIND download/joblog/upload picks the curl command.
bench() {
  local label="$1" kind="$2" mib="$3"
  shift 3
  local curl_cmd
  case "$kind" in
    download) curl_cmd=(curl -s -o "$work/out/curl" "$url/cgi-bin/mainte/userexport.cgi") ;;
    joblog) curl_cmd=(curl -s -o "$work/out/curl" "$url/cgi-bin/log/jobLog.cgi") ;;
    upload) curl_cmd=(curl -s -o /dev/null -H "Expect:" -T "$work/files/users-$mib"
                      "$url/cgi-bin/mainte/userimport.cgi") ;;
  esac
  : >"$work/pairs"
  local i tarn_line curl_line lines conns
  for i in $(seq 0 "$pairs"); do
    lines=$(wc -l <"$work/access.log")
    tarn_line=$(measure "$@")
    conns=$(connections_since "$lines")
    curl_line=$(measure "${curl_cmd[@]}")
    [ "$i" -eq 0 ] && continue  # the warm-up pair
    echo "$tarn_line $curl_line $conns" >>"$work/pairs"
  done
  report "$label"
}

run_set() {
  local name="$1" mib="$2"
  shift 2
  local -a prefix=("$@")
  local out_path="$work/out/tarn" file_path="$work/files/users-$mib"
  if [ -n "${WINE_PATHS:-}" ]; then
    out_path="Z:${out_path//\//\\}"
    file_path="Z:${file_path//\//\\}"
  fi
  bench "$name user-list download ${mib} MiB" download "$mib" \
    "${prefix[@]}" users get "$host" "$out_path" -u admin -p secret
  bench "$name job-log download ${mib} MiB" joblog "$mib" \
    "${prefix[@]}" joblog "$host" "$out_path" -u admin -p secret
  bench "$name user-list upload ${mib} MiB" upload "$mib" \
    "${prefix[@]}" users set "$host" "$file_path" -u admin -p secret
}

if [ -n "$windows" ]; then
  export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
  bash "$root/scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null
fi

for mib in $sizes; do
  make_files "$mib"
  ln -sf "$work/files/users-$mib" "$work/www/userexport"
  ln -sf "$work/files/joblog-$mib" "$work/www/joblog"
  run_set "linux" "$mib" "$tarn"
  # The job log as tarn stores it is the re-encoded text: curl's copy shows what changed.
  if ! cmp -s "$work/out/tarn" "$work/out/curl"; then
    echo "  (job log re-encoded: $(stat -c %s "$work/out/tarn") bytes stored of $(stat -c %s "$work/out/curl") received)"
  fi
  if [ -n "$windows" ]; then
    WINE_PATHS=1 run_set "wine" "$mib" /usr/lib/wine/wine64 "$windows/host/tarn.exe"
  fi
  rm -f "$work/files/"*"-$mib" "$work/out/"*
done
