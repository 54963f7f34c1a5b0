#!/bin/bash
# Records http_nginx_curl.pcap: real HTTP between nginx and curl over a 1500-MTU veth pair between
# two private network namespaces (198.18.0.1 server, 198.18.0.2 client; never routed anywhere).
# Needs root and the Debian packages nginx-light, curl, tshark (for dumpcap), iproute2, ethtool.
# Usage: make-http-trace.sh OUT.pcap
set -eu
out=$(realpath -m "$1")
S=hsrv$$ C=hcli$$ work=$(mktemp -d)
. "$(dirname "$0")/http-namespaces.sh"

doc=$work/www; mkdir -p $doc/img $doc/css
printf '<html><body>hello</body></html>\n' > $doc/index.html
head -c 3000 /dev/zero | tr '\0' 'a' > $doc/page.html
head -c 5000 /dev/zero | tr '\0' 'b' > $doc/img/logo.png
head -c 700 /dev/zero | tr '\0' 'c' > $doc/css/site.css
touch -d '2020-01-01 00:00:00 UTC' $doc/index.html $doc/page.html $doc/img/logo.png $doc/css/site.css
chmod -R a+rX $work
start_nginx "
  server { listen 198.18.0.1:80; root $doc; location /old { return 301 /index.html; }
           location /secret { return 403; } location /api { return 200 'ok'; }
           location /chunked { default_type text/plain; gzip on; gzip_min_length 1; gzip_types text/plain;
                               return 200 'chunked body'; } }"
ip netns exec $S dumpcap -q -P -i vs$$ -w "$out" >/dev/null 2>&1 & dpid=$!
sleep 2
base=http://198.18.0.1
# Browser-like header sets, several requests per connection (keep-alive).
cli -A 'Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0' \
    -H 'Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8' \
    -H 'Accept-Language: en-US,en;q=0.5' -H 'Accept-Encoding: gzip, deflate, br' \
    -H 'Connection: keep-alive' -H 'Upgrade-Insecure-Requests: 1' \
    $base/index.html -e $base/ $base/css/site.css -e $base/index.html $base/img/logo.png
cli -A 'Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36' \
    -H 'Accept-Language: de-DE,de;q=0.9,en-US;q=0.8,en;q=0.7' -H 'Accept-Encoding: gzip, deflate' \
    -H 'Sec-Fetch-Mode: navigate' -H 'Cache-Control: max-age=0' \
    -H 'If-Modified-Since: Wed, 01 Jan 2020 00:00:00 GMT' $base/page.html $base/index.html
cli -A 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.1 Safari/605.1.15' \
    -H 'Accept-Language: fr-FR,fr;q=0.9' -H 'Accept-Charset: utf-8, iso-8859-1;q=0.5' \
    -e "$base/page.html#top" $base/old $base/secret $base/missing.html
cli -I -A 'curl/7.88.1' $base/page.html $base/img/logo.png
cli -A 'curl/7.88.1' -H 'Accept-Encoding: gzip' $base/chunked $base/api
cli -A 'curl/7.88.1' -d 'user=a&pw=b' $base/api
cli -A 'curl/7.88.1' -H 'Content-Type: application/json' -d '{"a":1}' "$base/api?x=1"
cli -A 'curl/7.88.1' -H 'Expect:' -F 'file=@'$doc/css/site.css $base/api
sleep 1
