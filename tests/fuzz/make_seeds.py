#!/usr/bin/env python3
"""Writes the seed corpus: small texts of each format and sources for each encoder, each behind
the four setting bytes that the targets read (see fuzz_support.h). Run from any directory;
the files are committed, so this is needed only to change them. Inputs that once found a fault
are kept beside the seeds as regress-* files, which this leaves alone."""
import binascii
import os
import random
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


# Piece lengths 1, 7, 32, 57, 100 and 8192 (see fuzz_support.h).
PIECES = (0, 6, 31, 56, 99, 255)


def header(flags, number, piece=0):
    return bytes([flags]) + struct.pack("<h", number) + bytes([piece])


def write(target, seeds):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        if old.startswith("seed"):
            os.remove(os.path.join(folder, old))
    for i, seed in enumerate(seeds):
        with open(os.path.join(folder, "seed%03d" % i), "wb") as f:
            f.write(seed)


rnd = random.Random(6)
blob = bytes(rnd.randrange(256) for _ in range(200))
mime = binascii.b2a_base64(blob, newline=False)
mime = b"\r\n".join(mime[i:i + 76] for i in range(0, len(mime), 76))

base64_texts = [
    (8192, b"YWJj"), (8192, b"YQ=="), (8192, b"YQ"), (8192, b"YWI"), (8192, b"Y"),
    (8192, b"YW\r\nJj"), (8192, b"Y W J j"), (8192, b"=Y=W=J=j="), (8192, b"YQ==YWI="),
    (8192, b"YW*J"), (8192, b"YWJj\t"), (4, b"YWJjYW*j"), (4, b"YWJjYW*jYWJj"),
    (3, b"YWJjYWJj"), (1, mime), (7, mime), (0, b"YWJj"), (-1, b"YWJj"), (2, b"YW\nJj\x80"),
]
write("fuzz_decode_base64", [header(i % 3, n, PIECES[i % 6]) + t for i, (n, t) in enumerate(base64_texts)])

qp_texts = [
    b"a=41b=\r\nc\r\n", b"ab=\r\ncd\r\n", b"a=3d=3D=4a", b"caf=E9\r\n", b"=E9=09", b"a=0d=0A",
    b"a=\r\n\r\nb", b"a\nb", b"a\rb", b"a\n\rb", b"\r\nabc", b"\n\n", b"abc=", b"abc=4",
    b"=G=41", b"=4G", b"==41", b"a= \r\nb", b"=4\r\n=41", b"x" * 71 + b"=\r\n" + b"x" * 9,
    b"\r\r\n\n\r", binascii.b2a_qp(blob),
]
write("fuzz_decode_qp", [header(i % 4, 8192, PIECES[i % 6]) + t for i, t in enumerate(qp_texts)])

classic = binascii.b2a_uu(blob[:45]) + binascii.b2a_uu(blob[45:50]) + b"`\n"
uue_texts = [
    b"!80\r\n`\r\n", b"#0V%T\r\n`\r\n", b"#0V%T", b"#0V%T`",
    b"begin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\n", b"beginning\r\n#0V%T\r\n`\r\n",
    b"BEGIN 644 x\r\n", b"\r\n\r\nbegin 644 x\r\n#0V%T\r\n`\r\n", b"#0V%T\r\nbegin 644 x\r\n",
    b"#0V%T\n`\nend\n", b"#0V%T\r\n \r\n", b"#86)C\r\n!80\r\n`\r\n", b"#0V%TXYZ\r\n`\r\n",
    b"#0V%T\r\n\r\n#0V%T\r\n`\r\n#0V%T\r\n", b"#0V%T\r\n`", b"begin 644 f\n" + classic + b"end\n",
    b"M86)C", b"_" + b"A" * 90, b"\r", b"!",
]
write("fuzz_decode_uue", [header(i % 3, 8192, PIECES[i % 6]) + t for i, t in enumerate(uue_texts)])

sources = [
    (0, 76, b"a"), (0, 76, b"ab"), (0, 76, b"abc"), (0, 76, b"abcd"), (0, 76, b"Cat"),
    (0, 76, b"4"), (0, 76, blob[:57]), (0, 76, blob[:58]), (0, 76, blob[:114]),
    (0, 76, b"ab\r\ncd"), (0, 76, b"a=b"), (0, 76, b"a\tb\xe9c"), (0, 76, b"\x00\xff"),
    (0, 76, b"abc\r\n"), (0, 76, b"ab\rcd"), (0, 76, b"abc\r"), (0, 76, b"\r\r\n"),
    (0, 76, b"a \r\nb"), (0, 76, b"x" * 71), (0, 76, b"x" * 80), (0, 76, b"=" * 30),
    (0, 10, b"abcdefghijklmnop"), (0, 10, b"abcde\r\nfgh"), (0, 10, b"a=b=c=d=e"),
    (0, 6, b"abc"), (0, 76, b"abc" * 20), (0, 8, b"abcdefg"), (0, 3, b"abc"),
    (1, 76, b"Cat"), (1, 76, blob[:63]), (1, 76, blob[:64]), (1, 84, blob),
    (0, 85, blob), (0, 86, blob), (0, 132, blob), (0, 133, blob), (0, 65, blob),
    (0, 0, blob), (0, -5, blob), (0, 4, blob[:20]), (0, 5, blob[:20]), (4, 76, blob[:40]),
]
seeds = [header(f, n, PIECES[i % 6]) + s for i, (f, n, s) in enumerate(sources)]
for target in ("fuzz_encode_base64", "fuzz_encode_qp", "fuzz_encode_uue"):
    write(target, seeds)
