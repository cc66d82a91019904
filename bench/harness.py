"""Helpers of bench/run.sh: inputs, medians, and the results table, page and picture.

    harness.py random SIZE OUT          SIZE seeded random bytes
    harness.py text SIZE OUT            SIZE bytes of CR LF text for the quoted-printable runs
    harness.py median FILE              the median of the numbers in FILE, one a line
    harness.py hyperfine-median JSON    the median time of a hyperfine export
    harness.py report ROWS META OUTDIR  prints the table, writes OUTDIR/results.md and .png

Only the standard library: the picture is written as a PNG by hand, with a small bitmap font.
"""

import json
import random
import statistics
import sys
import zlib

CHUNK = 4 << 20


def make_random(size, out):
    rng = random.Random(20240917)
    with open(out, "wb") as f:
        left = size
        while left > 0:
            n = min(CHUNK, left)
            f.write(rng.randbytes(n))
            left -= n


def text_table():
    # Per random byte value: about 2% "=", 2% tab, 6% 8-bit bytes, 6% spaces, a line break for
    # 1.6% (lines of about 63 characters, many longer than one encoded line) and printable
    # ASCII for the rest. bench/codecs_bench.cpp builds its text from the same proportions.
    printable = [c for c in range(0x21, 0x7F) if c != 0x3D]
    table = bytearray(256)
    for u in range(256):
        if u < 5:
            table[u] = 0x3D
        elif u < 10:
            table[u] = 0x09
        elif u < 26:
            table[u] = 0x80 + (u - 10) * 8
        elif u < 30:
            table[u] = 0x0A  # stands for CR LF
        elif u < 46:
            table[u] = 0x20
        else:
            table[u] = printable[(u - 46) % len(printable)]
    return bytes(table)


def make_text(size, out):
    rng = random.Random(20240918)
    table = text_table()
    with open(out, "wb") as f:
        left = size
        while left > 0:
            piece = rng.randbytes(CHUNK).translate(table).replace(b"\n", b"\r\n")
            piece = piece[:left]
            left -= len(piece)
            if left == 0 and piece.endswith(b"\r"):
                piece = piece[:-1] + b"x"  # a cut CR LF would leave a lone CR
            f.write(piece)


def same_text(path, plain_path):
    """True when the file at path holds the plain text with its CR LF line ends as LF."""
    with open(path, "rb") as f, open(plain_path, "rb") as g:
        return f.read() == g.read().replace(b"\r\n", b"\n")


def median_of_file(path):
    with open(path) as f:
        values = [float(line) for line in f if line.strip()]
    return statistics.median(values)


def hyperfine_median(path):
    with open(path) as f:
        return json.load(f)["results"][0]["median"]


# ---------------------------------------------------------------------------------------------
# The table

DIRECTIONS = [
    ("E BASE64", "Base64 encode"),
    ("D BASE64", "Base64 decode"),
    ("E QP", "QP encode"),
    ("D QP", "QP decode"),
    ("E UUE", "UUE encode"),
    ("D UUE", "UUE decode"),
]


def read_rows(path):
    """Rows written by run.sh: direction, kind, tool, input, status, seconds, rss_kib, bytes."""
    rows = []
    with open(path) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 8:
                continue
            direction, kind, tool, source, status, seconds, rss, plain = fields
            rows.append(
                dict(
                    direction=direction,
                    kind=kind,
                    tool=tool,
                    source=source,
                    status=status,
                    seconds=float(seconds) if seconds else None,
                    rss=int(rss) if rss else None,
                    plain=int(plain),
                )
            )
    return rows


def read_meta(path):
    meta = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("\t")
            meta.setdefault(key, []).append(value)
    return meta


def ordered(rows, direction):
    mine = [r for r in rows if r["direction"] == direction]
    rank = {"floor": 0, "vexor": 1, "peer": 2}
    timed = [r for r in mine if r["seconds"] is not None]
    # vexor's own rows keep the order in which they were run: the program first, then its
    # other roads.
    timed.sort(key=lambda r: (rank[r["kind"]], 0 if r["kind"] == "vexor" else r["seconds"]))
    return timed, [r for r in mine if r["seconds"] is None]


def fmt(value, pattern):
    return "" if value is None else pattern % value


def table_lines(rows):
    header = [
        "direction",
        "tool",
        "input",
        "time s",
        "MB/s",
        "peak MiB",
        "speed vs fastest peer",
        "time vs floor",
    ]
    body = []
    notes = []
    for key, title in DIRECTIONS:
        timed, untimed = ordered(rows, key)
        floor = next((r["seconds"] for r in timed if r["kind"] == "floor"), None)
        peers = [r["seconds"] for r in timed if r["kind"] == "peer" and r["status"] == "ok"]
        fastest = min(peers) if peers else None
        for r in timed:
            t = r["seconds"]
            speed = None if r["kind"] == "floor" or fastest is None else fastest / t
            body.append(
                [
                    title,
                    r["tool"] + ("" if r["status"] == "ok" else " (%s)" % r["status"]),
                    r["source"],
                    fmt(t, "%.3f"),
                    fmt(r["plain"] / t / 1e6, "%.0f"),
                    fmt(None if r["rss"] is None else r["rss"] / 1024, "%.1f"),
                    fmt(speed, "%.2f"),
                    fmt(None if floor is None or r["kind"] == "floor" else t / floor, "%.2f"),
                ]
            )
        for r in untimed:
            notes.append("%s: %s %s" % (title, r["tool"], r["status"]))
    return header, body, notes


def render_plain(header, body):
    widths = [max(len(str(row[i])) for row in [header] + body) for i in range(len(header))]
    numeric = set(range(3, len(header)))

    def line(row):
        cells = []
        for i, cell in enumerate(row):
            cells.append(str(cell).rjust(widths[i]) if i in numeric else str(cell).ljust(widths[i]))
        return "  ".join(cells).rstrip()

    out = [line(header), "  ".join("-" * w for w in widths)]
    previous = None
    for row in body:
        if previous is not None and row[0] != previous:
            out.append("")
        out.append(line(row))
        previous = row[0]
    return out


def render_markdown(header, body):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(["---"] * 3 + ["--:"] * 5) + "|"]
    for row in body:
        cells = [c.replace("|", "\\|") for c in row]
        out.append("| " + " | ".join(cells) + " |")
    return out


def report(rows_path, meta_path, outdir):
    rows = read_rows(rows_path)
    meta = read_meta(meta_path)
    header, body, notes = table_lines(rows)
    plain = render_plain(header, body)
    print("\n".join(plain))
    for note in notes:
        print("skipped: " + note)

    first = lambda key: meta.get(key, [""])[0]
    md = ["# Latest benchmark run", ""]
    md.append("Made by `bash bench/run.sh %s` on %s." % (first("size_mib"), first("date")))
    md.append("")
    md.append("- vexor: commit %s" % first("commit"))
    md.append("- machine: %s, %s cores" % (first("cpu"), first("cores")))
    md.append("- input: %s MiB; every time is the median of %s runs (%s)"
              % (first("size_mib"), first("runs"), first("timer")))
    md.append("- load before: %s" % first("load_before"))
    md.append("- load after: %s" % first("load_after"))
    for value in meta.get("absent", []):
        md.append("- not installed, skipped: %s" % value)
    for note in notes:
        md.append("- skipped: %s" % note)
    md.append("")
    md.extend(render_markdown(header, body))
    small = meta.get("small", [])
    if small:
        md.append("")
        md.append("Small files (each figure the median of 5 shell loops, divided by the runs in a loop; the 1,000 files are one loop; each tool writes the same kind of text):")
        md.append("")
        md.append("| files | tool | time ms |")
        md.append("|---|---|--:|")
        print("")
        print("small files:")
        for entry in small:
            label, tool, seconds = entry.split("\t")
            md.append("| %s | %s | %.2f |" % (label, tool, float(seconds) * 1000))
            print("  %-28s %-26s %8.2f ms" % (label, tool, float(seconds) * 1000))
    md.append("")
    md.append("![results](results.png)")
    md.append("")
    with open(outdir + "/results.md", "w") as f:
        f.write("\n".join(md))
    draw(rows, "%s MiB, median of %s runs, load %s" % (first("size_mib"), first("runs"),
                                                      first("load_before")),
         outdir + "/results.png")


# ---------------------------------------------------------------------------------------------
# The picture: one panel per direction, a bar per tool, the length its time.

GLYPHS = {
    " ": ".....|.....|.....|.....|.....|.....|.....",
    "0": ".###.|#...#|#..##|#.#.#|##..#|#...#|.###.",
    "1": "..#..|.##..|..#..|..#..|..#..|..#..|.###.",
    "2": ".###.|#...#|....#|...#.|..#..|.#...|#####",
    "3": "#####|...#.|..#..|...#.|....#|#...#|.###.",
    "4": "...#.|..##.|.#.#.|#..#.|#####|...#.|...#.",
    "5": "#####|#....|####.|....#|....#|#...#|.###.",
    "6": "..##.|.#...|#....|####.|#...#|#...#|.###.",
    "7": "#####|....#|...#.|..#..|.#...|.#...|.#...",
    "8": ".###.|#...#|#...#|.###.|#...#|#...#|.###.",
    "9": ".###.|#...#|#...#|.####|....#|...#.|.##..",
    "A": ".###.|#...#|#...#|#####|#...#|#...#|#...#",
    "B": "####.|#...#|#...#|####.|#...#|#...#|####.",
    "C": ".###.|#...#|#....|#....|#....|#...#|.###.",
    "D": "###..|#..#.|#...#|#...#|#...#|#..#.|###..",
    "E": "#####|#....|#....|####.|#....|#....|#####",
    "F": "#####|#....|#....|####.|#....|#....|#....",
    "G": ".###.|#...#|#....|#.###|#...#|#...#|.####",
    "H": "#...#|#...#|#...#|#####|#...#|#...#|#...#",
    "I": ".###.|..#..|..#..|..#..|..#..|..#..|.###.",
    "J": "..###|...#.|...#.|...#.|...#.|#..#.|.##..",
    "K": "#...#|#..#.|#.#..|##...|#.#..|#..#.|#...#",
    "L": "#....|#....|#....|#....|#....|#....|#####",
    "M": "#...#|##.##|#.#.#|#.#.#|#...#|#...#|#...#",
    "N": "#...#|#...#|##..#|#.#.#|#..##|#...#|#...#",
    "O": ".###.|#...#|#...#|#...#|#...#|#...#|.###.",
    "P": "####.|#...#|#...#|####.|#....|#....|#....",
    "Q": ".###.|#...#|#...#|#...#|#.#.#|#..#.|.##.#",
    "R": "####.|#...#|#...#|####.|#.#..|#..#.|#...#",
    "S": ".####|#....|#....|.###.|....#|....#|####.",
    "T": "#####|..#..|..#..|..#..|..#..|..#..|..#..",
    "U": "#...#|#...#|#...#|#...#|#...#|#...#|.###.",
    "V": "#...#|#...#|#...#|#...#|#...#|.#.#.|..#..",
    "W": "#...#|#...#|#...#|#.#.#|#.#.#|#.#.#|.#.#.",
    "X": "#...#|#...#|.#.#.|..#..|.#.#.|#...#|#...#",
    "Y": "#...#|#...#|.#.#.|..#..|..#..|..#..|..#..",
    "Z": "#####|....#|...#.|..#..|.#...|#....|#####",
    "a": ".....|.....|.###.|....#|.####|#...#|.####",
    "b": "#....|#....|#.##.|##..#|#...#|#...#|####.",
    "c": ".....|.....|.###.|#....|#....|#...#|.###.",
    "d": "....#|....#|.##.#|#..##|#...#|#...#|.####",
    "e": ".....|.....|.###.|#...#|#####|#....|.###.",
    "f": "..##.|.#..#|.#...|###..|.#...|.#...|.#...",
    "g": ".....|.....|.####|#...#|#...#|#...#|.####|....#|.###.",
    "h": "#....|#....|#.##.|##..#|#...#|#...#|#...#",
    "i": "..#..|.....|.##..|..#..|..#..|..#..|.###.",
    "j": "...#.|.....|..##.|...#.|...#.|...#.|...#.|#..#.|.##..",
    "k": "#....|#....|#..#.|#.#..|##...|#.#..|#..#.",
    "l": ".##..|..#..|..#..|..#..|..#..|..#..|.###.",
    "m": ".....|.....|##.#.|#.#.#|#.#.#|#...#|#...#",
    "n": ".....|.....|#.##.|##..#|#...#|#...#|#...#",
    "o": ".....|.....|.###.|#...#|#...#|#...#|.###.",
    "p": ".....|.....|####.|#...#|#...#|#...#|####.|#....|#....",
    "q": ".....|.....|.####|#...#|#...#|#...#|.####|....#|....#",
    "r": ".....|.....|#.##.|##..#|#....|#....|#....",
    "s": ".....|.....|.###.|#....|.###.|....#|####.",
    "t": ".#...|.#...|###..|.#...|.#...|.#..#|..##.",
    "u": ".....|.....|#...#|#...#|#...#|#..##|.##.#",
    "v": ".....|.....|#...#|#...#|#...#|.#.#.|..#..",
    "w": ".....|.....|#...#|#...#|#.#.#|#.#.#|.#.#.",
    "x": ".....|.....|#...#|.#.#.|..#..|.#.#.|#...#",
    "y": ".....|.....|#...#|#...#|#...#|#...#|.####|....#|.###.",
    "z": ".....|.....|#####|...#.|..#..|.#...|#####",
    ".": ".....|.....|.....|.....|.....|.##..|.##..",
    ",": ".....|.....|.....|.....|.##..|..#..|.#...",
    ":": ".....|.##..|.##..|.....|.##..|.##..|.....",
    ";": ".....|.##..|.##..|.....|.##..|..#..|.#...",
    "-": ".....|.....|.....|#####|.....|.....|.....",
    "+": ".....|..#..|..#..|#####|..#..|..#..|.....",
    "=": ".....|.....|#####|.....|#####|.....|.....",
    "/": ".....|....#|...#.|..#..|.#...|#....|.....",
    "_": ".....|.....|.....|.....|.....|.....|#####",
    "(": "...#.|..#..|.#...|.#...|.#...|..#..|...#.",
    ")": ".#...|..#..|...#.|...#.|...#.|..#..|.#...",
    "[": ".###.|.#...|.#...|.#...|.#...|.#...|.###.",
    "]": ".###.|...#.|...#.|...#.|...#.|...#.|.###.",
    "%": "##...|##..#|...#.|..#..|.#...|#..##|...##",
    "*": ".....|..#..|#.#.#|.###.|#.#.#|..#..|.....",
    "'": ".##..|..#..|.#...|.....|.....|.....|.....",
    '"': ".#.#.|.#.#.|.#.#.|.....|.....|.....|.....",
    "<": "...#.|..#..|.#...|#....|.#...|..#..|...#.",
    ">": ".#...|..#..|...#.|....#|...#.|..#..|.#...",
    "!": "..#..|..#..|..#..|..#..|..#..|.....|..#..",
    "?": ".###.|#...#|....#|...#.|..#..|.....|..#..",
    "#": ".#.#.|.#.#.|#####|.#.#.|#####|.#.#.|.#.#.",
}


class Canvas:
    def __init__(self, width, height, colour):
        self.width = width
        self.height = height
        self.pixels = bytearray(bytes(colour) * (width * height))

    def rect(self, x, y, w, h, colour):
        x0, y0 = max(0, x), max(0, y)
        x1, y1 = min(self.width, x + w), min(self.height, y + h)
        if x1 <= x0 or y1 <= y0:
            return
        run = bytes(colour) * (x1 - x0)
        for row in range(y0, y1):
            start = (row * self.width + x0) * 3
            self.pixels[start : start + len(run)] = run

    def text(self, x, y, string, colour, scale=2):
        """Draws string with its top left corner at (x, y); returns the x after it."""
        for ch in string:
            glyph = GLYPHS.get(ch, GLYPHS["?"])
            for gy, line in enumerate(glyph.split("|")):
                for gx, bit in enumerate(line):
                    if bit == "#":
                        self.rect(x + gx * scale, y + gy * scale, scale, scale, colour)
            x += 6 * scale
        return x

    def png(self, path):
        raw = bytearray()
        stride = self.width * 3
        for row in range(self.height):
            raw.append(0)
            raw += self.pixels[row * stride : (row + 1) * stride]

        def chunk(kind, data):
            body = kind + data
            return len(data).to_bytes(4, "big") + body + zlib.crc32(body).to_bytes(4, "big")

        header = self.width.to_bytes(4, "big") + self.height.to_bytes(4, "big") + b"\x08\x02\0\0\0"
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", header))
            f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
            f.write(chunk(b"IEND", b""))


WHITE = (255, 255, 255)
INK = (30, 30, 30)
MUTED = (110, 110, 110)
VEXOR = (214, 96, 28)
PEER = (70, 120, 180)
FLOOR = (180, 180, 180)
FAILED = (200, 60, 60)


def draw(rows, subtitle, path):
    scale = 2
    char = 6 * scale
    bar_h, gap = 18, 8
    label_w = 30 * char
    value_w = 20 * char
    bar_w = 520
    margin = 20
    width = margin * 2 + label_w + bar_w + value_w

    panels = []
    for key, title in DIRECTIONS:
        timed, _ = ordered(rows, key)
        if timed:
            panels.append((title, timed))
    line = 9 * scale
    height = margin + 3 * (line + 8) + 24
    for _, timed in panels:
        height += (line + 10) + len(timed) * (bar_h + gap) + 18
    height += margin

    c = Canvas(width, height, WHITE)
    y = margin
    c.text(margin, y, "vexor and its peers: time per conversion (shorter is faster)", INK, scale)
    y += line + 8
    c.text(margin, y, subtitle, MUTED, scale)
    y += line + 8
    x = c.text(margin, y, "vexor", VEXOR, scale)
    x = c.text(x, y, ", peers", PEER, scale)
    x = c.text(x, y, ", floor (read + write, no coding)", MUTED, scale)
    c.text(x, y, ", failed or wrong output", FAILED, scale)
    y += line + 24
    for title, timed in panels:
        vexor = next((r for r in timed if r["kind"] == "vexor"), None)
        if vexor is not None and title.endswith("encode"):
            title += " (%s)" % vexor["source"]
        elif title.endswith("decode"):
            title += " (each tool decodes its own text)"
        c.text(margin, y, title, INK, scale)
        y += line + 10
        longest = max(r["seconds"] for r in timed)
        for r in timed:
            colour = {"vexor": VEXOR, "peer": PEER, "floor": FLOOR}[r["kind"]]
            if r["status"] != "ok":
                colour = FAILED
            label = r["tool"] if len(r["tool"]) <= 30 else r["tool"][:29] + "."
            c.text(margin, y + (bar_h - 7 * scale) // 2, label, INK, scale)
            length = max(2, int(round(bar_w * r["seconds"] / longest)))
            c.rect(margin + label_w, y, length, bar_h, colour)
            value = "%.2f s %5.0f MB/s" % (r["seconds"], r["plain"] / r["seconds"] / 1e6)
            c.text(margin + label_w + length + 8, y + (bar_h - 7 * scale) // 2, value, INK, scale)
            y += bar_h + gap
        y += 18
    c.png(path)


def main(argv):
    command = argv[1]
    if command == "random":
        make_random(int(argv[2]), argv[3])
    elif command == "text":
        make_text(int(argv[2]), argv[3])
    elif command == "same-text":
        sys.exit(0 if same_text(argv[2], argv[3]) else 1)
    elif command == "median":
        print("%.6f" % median_of_file(argv[2]))
    elif command == "hyperfine-median":
        print("%.6f" % hyperfine_median(argv[2]))
    elif command == "report":
        report(argv[2], argv[3], argv[4])
    else:
        raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
