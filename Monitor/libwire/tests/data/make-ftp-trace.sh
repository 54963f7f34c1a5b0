#!/bin/bash
# Records ftp_vsftpd_lftp.pcap: real FTP between vsftpd and lftp over a 1500-MTU veth pair between
# two private network namespaces (198.18.0.1 server, 198.18.0.2 client; never routed anywhere).
# Needs root and the Debian packages vsftpd, lftp, tshark (for dumpcap), iproute2, ethtool.
# Usage: make-ftp-trace.sh OUT.pcap
set -eu
out=$(realpath -m "$1")
S=fsrv$$ C=fcli$$ work=$(mktemp -d)
cleanup() {
  [[ -n ${vpid:-} ]] && kill $vpid 2>/dev/null || true
  [[ -n ${dpid:-} ]] && { kill -INT $dpid 2>/dev/null; wait $dpid 2>/dev/null || true; }
  ip netns del $S 2>/dev/null || true; ip netns del $C 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/veth-pair.sh"

# An anonymous-only server with a small tree to list and fetch.
mkdir -p $work/ftp/pub/docs
printf 'Welcome to the test archive.\n' > $work/ftp/README
head -c 4000 /dev/zero | tr '\0' 'a' > $work/ftp/pub/notes.txt
head -c 9000 /dev/zero | tr '\0' 'b' > $work/ftp/pub/docs/guide.txt
touch -d '2020-01-01 00:00:00 UTC' $work/ftp/README $work/ftp/pub/notes.txt $work/ftp/pub/docs/guide.txt
cat > $work/vsftpd.conf <<VS
listen=YES
anonymous_enable=YES
local_enable=NO
anon_root=$work/ftp
no_anon_password=YES
pasv_enable=YES
pasv_min_port=40000
pasv_max_port=40100
port_enable=YES
listen_address=198.18.0.1
secure_chroot_dir=$work
seccomp_sandbox=NO
background=NO
VS
chmod 755 $work; chmod -R a+rX $work/ftp
ip netns exec $S vsftpd $work/vsftpd.conf & vpid=$!
ip netns exec $S dumpcap -q -P -i vs$$ -w "$out" >/dev/null 2>&1 & dpid=$!
sleep 2
ftp() { ip netns exec $C lftp -e "$1; bye" 198.18.0.1 >/dev/null 2>&1 || true; }
# Passive transfers: listings, two files, a missing one, directory changes.
ftp "set ftp:passive-mode on; ls; cd pub; ls; get notes.txt -o /dev/null; get missing.txt -o /dev/null; cd docs; get guide.txt -o /dev/null"
# Active transfers (PORT).
ftp "set ftp:passive-mode off; cd pub; get notes.txt -o /dev/null; ls docs"
# A login the server refuses: it takes anonymous users only.
ip netns exec $C lftp -u carol,secret -e "ls; bye" 198.18.0.1 >/dev/null 2>&1 || true
sleep 1
