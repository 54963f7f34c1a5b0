# Sourced by the HTTP recording scripts once they have named S, C and work. On exit: nginx (its
# pid file in $work) and a running dumpcap ($dpid) stopped, both namespaces and $work removed.
# Makes the namespaces (veth-pair.sh) and defines:
#   start_nginx BLOCK   nginx in $S with the common settings and BLOCK inside its http block
#   cli ARGS...         curl from $C, its output and failure dropped
cleanup() {
  [[ -f $work/nginx.pid ]] && kill "$(cat $work/nginx.pid)" 2>/dev/null || true
  [[ -n ${dpid:-} ]] && { kill -INT $dpid 2>/dev/null; wait $dpid 2>/dev/null || true; }
  ip netns del $S 2>/dev/null || true; ip netns del $C 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "${BASH_SOURCE[0]}")/veth-pair.sh"

start_nginx() {
  cat > $work/nginx.conf <<NG
worker_processes 1; pid $work/nginx.pid; error_log $work/err.log; daemon on;
events { worker_connections 64; }
http { include /etc/nginx/mime.types; access_log off; keepalive_requests 50; etag off;
$1 }
NG
  ip netns exec $S nginx -c $work/nginx.conf
}
cli() { ip netns exec $C curl -s "$@" >/dev/null || true; }
