#!/usr/bin/env python3
"""Draws the agent's three 32x32 status icons: idle (10), being accessed (11)
and session active (12). A screen with a coloured frame: grey when idle,
amber while a console is being let in, green while a viewer is connected.
Each .ico holds one 32-bit image with its AND mask; run this script again
after changing the drawing.
"""
import os
import struct

SIZE = 32
CLEAR = (0, 0, 0, 0)
SCREEN = (32, 32, 64, 255)
STAND = (96, 96, 96, 255)
FRAMES = {"IDLE": (160, 160, 160, 255), "ACCESS": (230, 160, 0, 255), "ACTIVE": (0, 170, 0, 255)}


def picture(frame):
    px = [[CLEAR] * SIZE for _ in range(SIZE)]
    for y in range(3, 24):
        for x in range(2, 30):
            border = x < 4 or x > 27 or y < 5 or y > 21
            px[y][x] = frame if border else SCREEN
    for y in range(24, 29):
        for x in range(12, 20):
            px[y][x] = STAND
    return px


def ico(px):
    xor = b"".join(struct.pack("BBBB", b, g, r, a) for row in reversed(px) for (r, g, b, a) in row)
    mask_row = (SIZE + 31) // 32 * 4
    and_mask = b""
    for row in reversed(px):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (SIZE - 1 - x)
        and_mask += bits.to_bytes(SIZE // 8, "big") + b"\0" * (mask_row - SIZE // 8)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 22) + image


here = os.path.dirname(os.path.abspath(__file__))
for name, colour in FRAMES.items():
    with open(os.path.join(here, "RCH_%s.ico" % name), "wb") as f:
        f.write(ico(picture(colour)))
