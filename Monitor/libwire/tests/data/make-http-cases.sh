#!/bin/bash
# Records the small HTTP captures of awkward cases, one file per case, between nginx and curl (or
# a raw client over bash's /dev/tcp, for what curl will not send) over a 1500-MTU veth pair
# between two private network namespaces (198.18.0.1 server, 198.18.0.2 client; never routed
# anywhere):
#   http_nginx_100-continue.pcap   a PUT announced with "Expect: 100-continue", answered 100, then
#                                  201 once the body is stored
#   http_nginx_pipelined.pcap      three requests in one segment, answered in order on one connection
#   http_nginx_no-fins.pcap        a keep-alive GET answered; the capture ends before either side
#                                  closes
#   http_nginx_non-printable.pcap  8-bit bytes in request URIs, control and 8-bit bytes in header
#                                  values
#   http_nginx_large-gap.pcap      a long response with 12 of its data segments cut out of the
#                                  capture (editcap)
#   http_nginx_multipart.pcap      a multipart/form-data POST with two fields and two files
#   http_nginx_methods.pcap        12 methods, several per connection (TRACE refused with 405)
#   http_nginx_no-syn.pcap         a connection opened before the capture began
# Needs root and the Debian packages nginx-light, curl, tshark (for dumpcap and editcap),
# iproute2, ethtool. Each run gives different times and ports but the same conversations.
# Usage: make-http-cases.sh OUTDIR
set -eu
outdir=$(realpath -m "$1"); mkdir -p "$outdir"
S=csrv$$ C=ccli$$ work=$(mktemp -d)
. "$(dirname "$0")/http-namespaces.sh"

doc=$work/www; mkdir -p $doc/files $doc/upload $work/body
printf '<html><body>hello</body></html>\n' > $doc/index.html
head -c 30000 /dev/zero | tr '\0' 'd' > $doc/files/long.txt
head -c 1200 /dev/zero | tr '\0' 'e' > $work/part1.txt
printf '\x89PNG\r\n\x1a\n\0\0\0\rIHDR' > $work/part2.png
touch -d '2020-01-01 00:00:00 UTC' $doc/index.html $doc/files/long.txt
chmod -R a+rX $work; chmod a+w $doc/upload $work/body
start_nginx "
  client_body_temp_path $work/body;
  server { listen 198.18.0.1:80; root $doc;
           location /upload { dav_methods PUT; create_full_put_path on; }
           location /any { return 200 'ok'; } }"
base=http://198.18.0.1

# record NAME: the capture of the commands that follow until `stop`.
record() { ip netns exec $S dumpcap -q -P -i vs$$ -w "$outdir/$1" >/dev/null 2>&1 & dpid=$!; sleep 2; }
stop() { sleep 1; kill -INT $dpid; wait $dpid || true; dpid=; }
# raw TEXT...: each TEXT (printf escapes) sent in one write (the printf program's, not the
# shell's, which writes line by line) on one new connection, 0.3 s apart; the replies read until
# the server closes or for at most 3 s.
raw() {
  ip netns exec $C bash -c 'exec 3<>/dev/tcp/198.18.0.1/80
    for text; do env printf "$text" >&3; sleep 0.3; done
    timeout 3 cat <&3 >/dev/null' _ "$@" || true
}

record http_nginx_100-continue.pcap
head -c 3000 /dev/zero | tr '\0' 'p' > $work/body.txt
cli -A 'curl/7.88.1' -H 'Expect: 100-continue' -T $work/body.txt $base/upload/body.txt
stop

record http_nginx_pipelined.pcap
raw 'GET /index.html HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: pipeline/1\r\n\r\nGET /files/long.txt HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: pipeline/1\r\n\r\nGET /missing HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: pipeline/1\r\nConnection: close\r\n\r\n'
stop

record http_nginx_no-fins.pcap
ip netns exec $C bash -c 'exec 3<>/dev/tcp/198.18.0.1/80
  printf "GET /index.html HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: keeper/1\r\n\r\n" >&3
  sleep 6' &
keeper=$!
sleep 2
stop
wait $keeper || true

record http_nginx_non-printable.pcap
raw 'GET /caf\xe9/men\xfc.html HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: bytes\x02\x1b/1\r\nConnection: close\r\n\r\n'
raw 'GET /index.html?name=%%ff%%00 HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: tab\there \xe9\xff\r\nReferer: http://198.18.0.1/\xfe\x7f\r\nConnection: close\r\n\r\n'
stop

record http_nginx_large-gap-whole.pcap
raw 'GET /files/long.txt HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: gap/1\r\nConnection: close\r\n\r\n'
stop

record http_nginx_multipart.pcap
cli -A 'curl/7.88.1' -H 'Expect:' -F 'name=Ann' -F 'note=two words' \
    -F "text=@$work/part1.txt;type=text/plain" -F "image=@$work/part2.png;type=image/png" \
    $base/any/form
stop

record http_nginx_methods.pcap
h='HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: methods/1\r\n'
raw "GET /index.html $h\r\n" "HEAD /index.html $h\r\n" "POST /any/post ${h}Content-Length: 3\r\n\r\nx=1" \
    "PUT /any/put ${h}Content-Length: 3\r\nConnection: close\r\n\r\nx=2"
raw "DELETE /any/delete $h\r\n" "OPTIONS /any/options $h\r\n" \
    "PATCH /any/patch ${h}Content-Length: 3\r\nConnection: close\r\n\r\nx=3"
raw "PROPFIND /any/propfind ${h}Depth: 1\r\n\r\n" "MKCOL /any/mkcol $h\r\n" "LOCK /any/lock $h\r\n" \
    "UNLOCK /any/unlock ${h}Connection: close\r\n\r\n"
raw "TRACE /any/trace ${h}Connection: close\r\n\r\n"
stop

# The connection is made before the capture starts; the request follows a second later.
ip netns exec $C bash -c 'exec 3<>/dev/tcp/198.18.0.1/80; sleep 3
  printf "GET /index.html HTTP/1.1\r\nHost: 198.18.0.1\r\nUser-Agent: late/1\r\nConnection: close\r\n\r\n" >&3
  timeout 3 cat <&3 >/dev/null' &
late=$!
sleep 0.5
record http_nginx_no-syn.pcap
wait $late || true
stop

# The gap: 12 of the long response's data segments from the server, from its fourth on.
cut=$(tshark -r "$outdir/http_nginx_large-gap-whole.pcap" -Y 'ip.src==198.18.0.1 and tcp.len>0' \
      -T fields -e frame.number | sed -n 4,15p | paste -sd' ')
editcap "$outdir/http_nginx_large-gap-whole.pcap" "$outdir/http_nginx_large-gap.pcap" $cut
rm "$outdir/http_nginx_large-gap-whole.pcap"
