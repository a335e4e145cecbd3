#!/usr/bin/env python3
"""Writes the program's pixel icons as PNG files (standard library only, so no image
tools are needed): the green check mark with a black outline (tray, window, OK button,
desktop icon) and the red cross (Cancel button). Run from the repository root; the PNGs
are committed, so the build does not need Python."""
import struct
import zlib
from pathlib import Path

# 16 x 16 drawings: K black outline, G green, R red, r dark red edge, . transparent.
CHECK = """
................
..............KK
.............KGK
............KGGK
...........KGGK.
..........KGGK..
.KK......KGGK...
KGGK....KGGK....
KGGGK..KGGK.....
.KGGGKKGGK......
..KGGGGGGK......
...KGGGGK.......
....KGGK........
.....KK.........
................
................
"""

CROSS = """
................
................
..rr........rr..
..rRr......rRr..
...rRr....rRr...
....rRr..rRr....
.....rRrrRr.....
......rRRr......
......rRRr......
.....rRrrRr.....
....rRr..rRr....
...rRr....rRr...
..rRr......rRr..
..rr........rr..
................
................
"""

PALETTE = {
    ".": (0, 0, 0, 0),
    "K": (0, 0, 0, 255),
    "G": (0, 160, 0, 255),
    "R": (224, 0, 0, 255),
    "r": (128, 0, 0, 255),
}


def rows(drawing, scale):
    lines = [line for line in drawing.strip("\n").split("\n")]
    assert len(lines) == 16 and all(len(line) == 16 for line in lines), "16 x 16 drawings"
    for line in lines:
        pixels = b"".join(bytes(PALETTE[c]) * scale for c in line)
        for _ in range(scale):
            yield pixels


def write_png(path, drawing, scale=1):
    size = 16 * scale
    raw = b"".join(b"\x00" + row for row in rows(drawing, scale))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    path.write_bytes(png)


def main():
    out = Path("ui/icons")
    out.mkdir(parents=True, exist_ok=True)
    write_png(out / "check16.png", CHECK)
    write_png(out / "cross16.png", CROSS)
    # The desktop icon: the same check mark, its pixels enlarged so it stays crisp.
    for scale in (2, 3, 4):
        write_png(out / f"check{16 * scale}.png", CHECK, scale)


if __name__ == "__main__":
    main()
