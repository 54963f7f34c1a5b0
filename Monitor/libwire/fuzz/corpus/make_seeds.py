#!/usr/bin/env python3
"""Writes the seed corpora of libwire's fuzz targets from the project's packet traces and the
shipped protocol-spec tree. Run once when the traces change; the seeds are kept beside it. The
FTP record seeds (ftp/record-*, command-*) are what OB_FTPProtocol::write gave for the driver
seeds, so they are not made here.

    make_seeds.py <traces folder> <PSpc.bin>
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def frames(path):
    with open(path, 'rb') as f:
        data = f.read()
    magic = struct.unpack('<I', data[:4])[0]
    endian = '<' if magic in (0xA1B2C3D4, 0xA1B23C4D) else '>'
    at = 24
    while at + 16 <= len(data):
        _, _, caplen, _ = struct.unpack(endian + 'IIII', data[at:at + 16])
        at += 16
        yield data[at:at + caplen]
        at += caplen


def tcp(frame):
    """(src, sport, dst, dport, seq, flags, payload) of an Ethernet II IPv4 TCP frame, or None."""
    if len(frame) < 54 or frame[12:14] != b'\x08\x00' or frame[23] != 6:
        return None
    ihl = (frame[14] & 15) * 4
    total = struct.unpack('>H', frame[16:18])[0]
    t = 14 + ihl
    off = (frame[t + 12] >> 4) * 4
    src, dst = frame[26:30], frame[30:34]
    sport, dport, seq = struct.unpack('>HHI', frame[t:t + 8])
    payload = frame[t + off:14 + total]
    return src, sport, dst, dport, seq, frame[t + 13], payload


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def text16(s):
    return struct.pack('<H', len(s)) + s


def http_xact(method, uri, host, status, reason, ctype, res_bytes):
    return (text16(method) + text16(uri) + text16(b'1.1') + text16(host) + text16(b'') +
            text16(b'test agent') + text16(b'') + struct.pack('<i', 0) + text16(b'') +
            text16(b'1.1') + text16(status) + text16(reason) + text16(ctype) +
            struct.pack('<i', res_bytes) + text16(b''))


def main():
    traces, pspc = sys.argv[1], sys.argv[2]
    http_texts = []
    for name in sorted(os.listdir(traces)):
        if not name.endswith('.pcap'):
            continue
        base = name[:-5]
        all_frames = list(frames(os.path.join(traces, name)))
        # The frame decoder: the first frames of each trace (handshakes, requests, responses).
        for i, frame in enumerate(all_frames[:8]):
            write('packet', '%s-%d' % (base, i), frame)
        # The first connection: each direction's payloads in capture order, and a session
        # script of its segments.
        segs = [s for s in (tcp(f) for f in all_frames) if s is not None]
        if not segs:
            continue
        first = next((s for s in segs if s[5] & 0x02), segs[0])
        client = (first[0], first[1])
        conv = [s for s in segs if {(s[0], s[1]), (s[2], s[3])} == {client, (first[2], first[3])}]
        up = b''.join(s[6] for s in conv if (s[0], s[1]) == client)
        down = b''.join(s[6] for s in conv if (s[0], s[1]) != client)
        isn = {True: None, False: None}
        script = b''
        nxt = {}
        for s in conv[:40]:
            side = (s[0], s[1]) == client
            if side not in nxt:
                nxt[side] = s[4]
                isn[side] = s[4]
            offset = max(-32768, min(32767, (s[4] - nxt[side] + 2**31) % 2**32 - 2**31))
            units = (len(s[6]) + 7) // 8
            payload = s[6].ljust(units * 8, b' ')[:255 * 8]
            script += bytes([(s[5] & 0x3F) | (0 if side else 0x40)]) + struct.pack('>h', offset)
            script += bytes([min(units, 255)]) + payload
            nxt[side] = (nxt[side] + offset + len(payload) + (1 if s[5] & 0x03 else 0)) % 2**32
        if isn[True] is not None:
            head = struct.pack('<II', isn[True], isn[False] or 0)
            write('session', base, head + script)
            # The same conversation with sequence numbers about to wrap.
            write('session', base + '-wrap', struct.pack('<II', 0xFFFFFF00, 0xFFFFFFF0) + script)
        if base.startswith('http') or base == 'wikipedia':
            http_texts.append((base, up[:3000], down[:3000]))
        if base.startswith('ftp'):
            # The control connection (the first connection is the control one in these traces).
            write('ftp', base + '-driver', bytes([0, 13]) + up[:2500] + b'\0' + down[:2500])

    # The HTTP analyser: the message driver on both directions, and each rule on the requests.
    for base, up, down in http_texts:
        write('http', base + '-driver', bytes([0, 0x03, 40, 128, 200]) + up + b'\0' + down)
        for mode in (1, 2, 11, 12, 13, 14):
            text = up if mode != 2 and mode != 13 else down
            write('http', '%s-rule%d' % (base, mode), bytes([mode, 0x02, 64, 192]) + text[:600])

    # The protocol-spec loader: the shipped tree, whole and cut inside its last record.
    with open(pspc, 'rb') as f:
        tree = f.read()
    write('pspc', 'shipped', tree)
    write('pspc', 'shipped-cut', tree[:-3])

    # The archive readers: a protocol record with two transactions, one transaction, one table,
    # and a file's header followed by its first record.
    xacts = [http_xact(b'GET', b'/index.html', b'example.test', b'200', b'OK', b'text/html', 5000),
             http_xact(b'POST', b'/form?a=1', b'example.test', b'302', b'Found', b'', 0)]
    protocol = (b'qvx\0' + struct.pack('<II', 1700000000, 0x0A000001) + text16(b'') +
                struct.pack('<I', 0x0A000002) + text16(b'') + struct.pack('<H', 80) +
                struct.pack('<iiiii', 1200, 300, 0, 0, 0) + struct.pack('<HH', 2, 2))
    write('archive', 'protocol', b'\0' + protocol + b''.join(xacts))
    write('archive', 'xact', b'\1' + xacts[0])
    table = struct.pack('<I', 3)
    for index, value, name in ((5, 5, b'a'), (5, 66, b'bb'), (60, 60, b'')):
        table += struct.pack('<II', index, value) + text16(name)
    write('archive', 'table', b'\2' + table)
    header = (text16(b'ambervolte') + struct.pack('<iII', 3, 1700000000, 1700086400) +
              text16(b'http') + text16(b'eth0') + text16(b'tcp port 80') +
              struct.pack('<Hhh', 2, 80, 8080))
    write('archive', 'header', b'\3' + header + protocol + b''.join(xacts))


if __name__ == '__main__':
    main()
