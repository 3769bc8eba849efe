# Sourced by scripts that need the development relay and a WAP proxy on
# loopback. Functions:
#   start_relay TOOL DIR   relay on a free port, spool DIR/spool, log DIR/relay.log;
#                          sets relay_url (ends in /mms) and relay_pid
#   start_proxy DIR        tinyproxy on a free port; sets proxy_port and proxy_pid
#   stop_servers           stops both (safe to call twice; use it in a trap)
relay_pid= proxy_pid= relay_url= proxy_port=

stop_servers() {
  local p
  for p in $relay_pid $proxy_pid; do kill "$p" 2>/dev/null || true; done
  for p in $relay_pid $proxy_pid; do wait "$p" 2>/dev/null || true; done
  relay_pid= proxy_pid=
}

start_relay() {
  local tool=$1 dir=$2
  "$tool" relay --port 0 --spool "$dir/spool" --log "$dir/relay.log" 2>"$dir/relay.err" &
  relay_pid=$!
  local i
  for i in $(seq 200); do
    grep -q 'listening on' "$dir/relay.err" 2>/dev/null && break
    kill -0 "$relay_pid" 2>/dev/null || { echo "the relay did not start: $(cat "$dir/relay.err")" >&2; return 1; }
    sleep 0.05
  done
  relay_url=$(sed -n 's/^relay: listening on \([^ ]*\).*/\1/p' "$dir/relay.err")
  [ -n "$relay_url" ] || { echo "the relay did not say where it listens" >&2; return 1; }
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_proxy() {
  local dir=$1 p i try
  command -v tinyproxy >/dev/null 2>&1 || { echo "tinyproxy is not installed" >&2; return 1; }
  for try in $(seq 20); do
    p=$((20000 + RANDOM % 40000))
    port_free "$p" || continue
    printf 'Port %d\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 20\nLogLevel Warning\nDisableViaHeader Yes\n' \
      "$p" >"$dir/tinyproxy.conf"
    tinyproxy -d -c "$dir/tinyproxy.conf" >"$dir/tinyproxy.log" 2>&1 &
    proxy_pid=$!
    for i in $(seq 100); do
      port_free "$p" || { proxy_port=$p; return 0; }
      kill -0 "$proxy_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true
    proxy_pid=
  done
  echo "tinyproxy did not start: $(cat "$dir/tinyproxy.log" 2>/dev/null)" >&2
  return 1
}
