#!/usr/bin/env python3
"""Draws the slave's eight 16x16 animation icons SLAVE1.ico .. SLAVE8.ico.

Two pages, left and right, with a block travelling from one to the other:
frame 1 is the resting picture, frames 2 to 8 the cycle shown while the
slave works. Each .ico holds one 32-bit image with its AND mask; run this
script again after changing the drawing.
"""
import os
import struct

SIZE = 16
PAGE = (255, 255, 255, 255)
EDGE = (0, 0, 128, 255)
BLOCK = (0, 160, 0, 255)
CLEAR = (0, 0, 0, 0)


def frame(n):
    px = [[CLEAR] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, fill, edge):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                border = x in (x0, x1) or y in (y0, y1)
                px[y][x] = edge if border else fill

    rect(0, 3, 5, 12, PAGE, EDGE)
    rect(10, 3, 15, 12, PAGE, EDGE)
    if n > 0:
        x = 1 + (n - 1) * 2  # 1, 3, ..., 13
        y = 6
        rect(x, y, x + 1, y + 3, BLOCK, BLOCK)
    return px


def ico(px):
    xor = b""
    mask = b""
    for row in reversed(px):  # bottom-up
        bits = 0
        for x, (r, g, b, a) in enumerate(row):
            xor += bytes((b, g, r, a))
            if a == 0:
                bits |= 1 << (15 - x)
        mask += struct.pack(">H", bits) + b"\0\0"  # rows padded to 4 bytes
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 22) + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for i in range(8):
        with open(os.path.join(here, "SLAVE%d.ico" % (i + 1)), "wb") as f:
            f.write(ico(frame(i)))


if __name__ == "__main__":
    main()
