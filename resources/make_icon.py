#!/usr/bin/env python3
"""Writes the application icon, app.ico: a 32x32 and a 16x16 image, 4 bits
per pixel in the standard 16-colour palette, each with an AND mask.

The picture: two overlapping sheets of paper with a folded top-right corner,
ruled with bars like lines of text, dark blue on the sheet behind and bright
blue on the sheet in front.

Usage: make_icon.py OUTPUT.ico
"""

import struct
import sys

# The standard 16-colour palette, in index order, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 dark red
    (0x00, 0x80, 0x00),  # 2 dark green
    (0x80, 0x80, 0x00),  # 3 dark yellow
    (0x00, 0x00, 0x80),  # 4 dark blue
    (0x80, 0x00, 0x80),  # 5 dark magenta
    (0x00, 0x80, 0x80),  # 6 dark cyan
    (0xC0, 0xC0, 0xC0),  # 7 light grey
    (0x80, 0x80, 0x80),  # 8 dark grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 green
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 magenta
    (0x00, 0xFF, 0xFF),  # 14 cyan
    (0xFF, 0xFF, 0xFF),  # 15 white
]

# One character per pixel. '.' is transparent (mask bit set, colour 0).
LEGEND = {
    '.': None,
    'K': 0,   # outline
    'b': 4,   # bars on the sheet behind
    'g': 7,   # the folded-over corner
    'B': 12,  # bars on the sheet in front
    'W': 15,  # paper
}

ICON_32 = [
    "................................",
    "..KKKKKKKKKKKKKK................",
    "..KWWWWWWWWWWWWKK...............",
    "..KWWWWWWWWWWWWKgK..............",
    "..KWWbbbbbbbbWWKggK.............",
    "..KWWWWWWWWWWWWKgggK............",
    "..KWWWWWWWWWWWWKKKKKK...........",
    "..KWWbbbbbKKKKKKKKKKKKKK........",
    "..KWWWWWWWKWWWWWWWWWWWWKK.......",
    "..KWWWWWWWKWWWWWWWWWWWWKgK......",
    "..KWWbbbbbKWWWWWWWWWWWWKggK.....",
    "..KWWWWWWWKWWBBBBBBBBWWKgggK....",
    "..KWWWWWWWKWWWWWWWWWWWWKggggK...",
    "..KWWbbbbbKWWWWWWWWWWWWKKKKKKK..",
    "..KWWWWWWWKWWBBBBBBBBBBBBBBWWK..",
    "..KWWWWWWWKWWWWWWWWWWWWWWWWWWK..",
    "..KWWbbbbbKWWWWWWWWWWWWWWWWWWK..",
    "..KWWWWWWWKWWBBBBBBBBBBBBBBWWK..",
    "..KWWWWWWWKWWWWWWWWWWWWWWWWWWK..",
    "..KWWbbbbbKWWWWWWWWWWWWWWWWWWK..",
    "..KWWWWWWWKWWBBBBBBBBBBBBWWWWK..",
    "..KWWWWWWWKWWWWWWWWWWWWWWWWWWK..",
    "..KWWWWWWWKWWWWWWWWWWWWWWWWWWK..",
    "..KKKKKKKKKWWBBBBBBBBBBBBBBWWK..",
    "..........KWWWWWWWWWWWWWWWWWWK..",
    "..........KWWWWWWWWWWWWWWWWWWK..",
    "..........KWWBBBBBBBBBWWWWWWWK..",
    "..........KWWWWWWWWWWWWWWWWWWK..",
    "..........KWWWWWWWWWWWWWWWWWWK..",
    "..........KWWWWWWWWWWWWWWWWWWK..",
    "..........KKKKKKKKKKKKKKKKKKKK..",
    "................................",
]

ICON_16 = [
    ".KKKKKKK........",
    ".KWWWWWKK.......",
    ".KWWWWWKgK......",
    ".KWbbbWKKKK.....",
    ".KWWWKKKKKKK....",
    ".KWbbKWWWWWKK...",
    ".KWWWKWWWWWKgK..",
    ".KWbbKWBBBWKKKK.",
    ".KWWWKWWWWWWWWK.",
    ".KWbbKWBBBBBBWK.",
    ".KWWWKWWWWWWWWK.",
    ".KKKKKWBBBBBBWK.",
    ".....KWWWWWWWWK.",
    ".....KWBBBBWWWK.",
    ".....KWWWWWWWWK.",
    ".....KKKKKKKKKK.",
]


def padded(row_bytes):
    """Bitmap rows are padded to a multiple of 4 bytes."""
    return row_bytes + b'\0' * (-len(row_bytes) % 4)


def icon_image(rows):
    """One icon image: BITMAPINFOHEADER (height doubled for the two masks),
    the palette, the 4-bit colour bits and the 1-bit AND mask, rows bottom-up."""
    size = len(rows)
    if any(len(row) != size for row in rows):
        raise ValueError('icon image of %d rows is not square' % size)
    colour = b''
    mask = b''
    for row in reversed(rows):
        indices = [LEGEND[c] for c in row]
        nibbles = [0 if i is None else i for i in indices]
        colour += padded(bytes((nibbles[x] << 4) | nibbles[x + 1]
                               for x in range(0, size, 2)))
        bits = 0
        for i in indices:
            bits = (bits << 1) | (1 if i is None else 0)
        mask += padded(bits.to_bytes(size // 8, 'big'))
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         len(colour) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + colour + mask


def icon_file(images):
    """An .ico file: the directory, then the images in the same order."""
    blobs = [icon_image(rows) for rows in images]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for rows, blob in zip(images, blobs):
        size = len(rows)
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_icon.py OUTPUT.ico')
    with open(sys.argv[1], 'wb') as f:
        f.write(icon_file([ICON_32, ICON_16]))


if __name__ == '__main__':
    main()
