#!/usr/bin/env python3
"""Writes the small seed corpora under fuzz/corpus/. Run again after changing
the input layout of a target; the files are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def pkt(words, start=b'\xaa\xaa', end=b'\x55\x55'):
    return start + b''.join(w.to_bytes(2, 'big') for w in words) + end


def ostr(b):
    """An OSC string: NUL-terminated, padded to four bytes."""
    b += b'\0'
    return b + b'\0' * (-len(b) % 4)


def osc(address, tags, args):
    return ostr(address) + ostr(b',' + tags) + args


def bundle(*elements):
    return b'#bundle\0' + struct.pack('>Q', 1) + b''.join(struct.pack('>i', len(e)) + e for e in elements)


P = pkt([0x0000, 0xC350, 0xFFFF, 0x0D0A, 0x1234, 0xAAAA])

CORPORA = {
    # byte 0: how many read sizes follow (n % 16 + 1); then the sizes; then the stream
    'fuzz_framer': {
        'whole-packets': bytes([0, 16]) + P + P,
        'one-byte-reads': bytes([0, 1]) + P + b'\x00' + P,
        'ten-then-six': bytes([1, 10, 6]) + P + P,
        'garbage-before': bytes([2, 3, 7, 5]) + b'\xaa\xaa\xaa\x55\x55\xaa' + P,
        'wrong-end-mark': bytes([0, 17]) + P[:15] + b'\x54' + P,
        'crlf-in-levels': bytes([0, 5]) + pkt([0x0D0A] * 6),
        'empty-reads': bytes([3, 0, 16, 0, 4]) + P,
    },
    # byte 0: sender kind, byte 1: client_host kind, byte 2: typed host length
    'fuzz_datagram': {
        'packet-from-server': bytes([0, 0, 0]) + P,
        'packet-mapped-sender': bytes([1, 0, 0]) + P,
        'packet-seventeen-bytes': bytes([0, 0, 0]) + P + b'\x00',
        'packet-wrong-mark': bytes([0, 0, 0]) + P[:15] + b'\x54',
        'host-name': bytes([0, 2, 0]) + P,
        'ipv6-host': bytes([4, 3, 0]) + P,
        'typed-host': bytes([2, 200, 9]) + b'127.0.0.1' + bytes([127, 0, 0, 1]) + P[4:],
        'empty': bytes([0, 0, 0]),
    },
    # the whole input is the settings file
    'fuzz_settings': {
        'sound.conf': b'[General]\nclient_host=127.0.0.1\nclient_port=5000\ncurrent_screen=1\n'
                      b'geometry=@ByteArray(\\x1\\xd9\\xd0\\xcb)\nis_server=false\nlabelMeter1=Prog\n'
                      b'labelMeter2=Sub\nlabelMeter3=CRM\nserialport=ttyUSB0\n'
                      b'server_host=192.168.1.10\nserver_port=5001\nuse_udp=true\n',
        'wrong-types.conf': b'[General]\nis_server=@Rect(1 2 3 4)\nuse_udp=@Size(2 3)\n'
                            b'client_port=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x6QPoint)\n'
                            b'current_screen=1e300\nlabelMeter1=a, b, c\n',
        'markup.conf': b'[General]\nlabelMeter1=<b>bold</b><img src=\\"x\\">\nlabelMeter2=\\x263a \\0 end\n',
        'huge-values.conf': b'[General]\nclient_port=99999999999999999999999\nserver_port=-1\n'
                            b'current_screen=-2147483649\n',
        'junk.conf': bytes(range(256)),
        'sections.conf': b'[General\n[%General]\n=\n==\n[a/b]\nc=d\n\\=x\n',
        'control.conf': b'[General]\ncontrol_port=7374\ncontrol_bind=10.10.1.10\n'
                        b'control_allow=10.20.0.0/16, 10.30.1.7\ncontrol_token=secret\n',
        # lines as an operator types them: words for flags, lists, typos
        'typed-words.conf': b'use_udp=no\nis_server=Yes\ncontrol_allow=127.0.0.0/8, 10.20.1.0/24\n'
                            b'labelMeter1=Studio 1, left\nuse_udp=flase\ncontrol_port=73a3\n'
                            b'control_allow=@studio, 10.0.0.0/8\ngeometry=a, b\n',
        'utf8.conf': b'[General]\nlabelMeter1=Studio K\xc3\xb6ln\nlabelMeter2=\\xd83c\\xdfb5 Live\n'
                     b'labelMeter3=\xf0\x9f\x8e\xb5\n',
        'latin1.conf': b'[General]\nlabelMeter1=Studio K\xf6ln\n',
        'open-quote.conf': b'labelMeter1=Studio "A\nuse_udp=true\nlabelMeter2="B\\\nC\n;"c\nx=a;"\n',
        'nul-then-bom.conf': b'[General]\ncontrol_allow=127.0.0.27.\x00\x0066\xef\xbb\xbf`x\n',
        'bom-open-quote.conf': b'\xef\xbb\xbf[General]\nlabelMeter1="Studio\r\ncontrol_token="s3cret\r\n',
    },
    # the whole input is one datagram to the control port
    'fuzz_control': {
        'text-lines': b'ring 45\r\nendmark daily 17:30:00\nname 2 Studio 2\nstatus\nping\n',
        'ring-changes': b'ring at 23:59:59\nring add -86000.5\nring add 10\nring off\nendmark in 86399\n',
        'refusals': b'endmark daily 24:61:61\nring 0.04\nname 4 x\ndots up\nreboot\n',
        'osc-ring': osc(b'/lumora/ring', b'f', struct.pack('>f', 45.0)),
        'osc-name': osc(b'/lumora/name', b'is', struct.pack('>i', 2) + ostr(b'Studio 2')),
        'osc-empty-bundle': b'#bundle\0\0\0\0\x04\0\0\0en',
        'osc-bundle': bundle(osc(b'/lumora/ping', b'', b''), osc(b'/lumora/dots', b's', ostr(b'countdown'))),
        # Element sizes the OSC library takes on trust: -4 kept its cursor in
        # place for ever; the others are each edge of the rule.
        'osc-element-size-minus-4': b'#bundle\0' + struct.pack('>Qi', 1, -4),
        'osc-element-size-zero': bundle(osc(b'/lumora/ping', b'', b''), b''),
        'osc-element-size-past-end': b'#bundle\0' + struct.pack('>Qi', 1, 24) + osc(b'/lumora/ping', b'', b''),
        'osc-nested-minus-4': bundle(osc(b'/lumora/ping', b'', b''), b'#bundle\0' + struct.pack('>Qi', 1, -4)),
        'osc-nested-deep': (lambda m: [m := bundle(m) for _ in range(9)][-1])(osc(b'/lumora/ping', b'', b'')),
    },
    # byte 0: 0 a POST body, 1 a WebSocket message, 2 two headers split at NUL
    'fuzz_webrequest': {
        'body': b'\x00{"cmd": "endmark daily 17:30:00"}',
        'body-two-lines': b'\x00{"cmd": "ring 45\\nring off"}',
        'body-unicode': b'\x00{"cmd":"name 1 \\u00e9\\ud83d\\ude00"}',
        'body-nested-twice': b'\x00{"cmd":"ping","a":{"b":[1]},"a":2}',
        'message-cmd': b'\x01{"cmd":"ring add -10"}',
        'message-token': b'\x01{"token":"abc"}',
        'message-subscribe': b'\x01{"subscribe":"levels"}',
        'message-both': b'\x01{"ping":1,"cmd":"x"}',
        'headers': b'\x02Bearer s3cret\x00s3cret',
    },
}

for target, seeds in CORPORA.items():
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)
