#!/usr/bin/env python3
"""Draws Caldervine's icon (32 x 32, 16 colours) and writes it as services/caldervine.ico.

The picture: a green folder-like tile with two arrows, one pointing right and one pointing
left, for the two copies handing files to each other. Run it again after changing the drawing.
"""
import struct
import sys

# The 16-colour VGA palette (B, G, R, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]  # given as (R, G, B)
BLACK, DARK_GREEN, GREEN, WHITE, YELLOW, GREY = 0, 2, 10, 15, 11, 8


def draw():
    size = 32
    pixels = [[None] * size for _ in range(size)]  # None is transparent
    for y in range(3, 29):
        for x in range(2, 30):
            edge = x in (2, 29) or y in (3, 28)
            corner = (x in (2, 29)) and (y in (3, 28))
            if corner:
                continue
            pixels[y][x] = DARK_GREEN if edge else GREEN
    # tab of the folder
    for x in range(4, 13):
        pixels[2][x] = DARK_GREEN
    # arrow to the right, row 11, and arrow to the left, row 20
    for x in range(6, 24):
        for y in (10, 11, 12):
            pixels[y][x] = WHITE
    for i in range(5):
        for y in range(11 - i, 12 + i):
            pixels[y][26 - i] = WHITE
    for x in range(8, 26):
        for y in (19, 20, 21):
            pixels[y][x] = YELLOW
    for i in range(5):
        for y in range(20 - i, 21 + i):
            pixels[y][5 + i] = YELLOW
    return pixels


def encode(pixels):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            xor.append((hi << 4) | lo)
    mask = bytearray()
    for row in reversed(pixels):
        bits = 0
        for x in range(size):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "services/caldervine.ico"
    with open(out, "wb") as f:
        f.write(encode(draw()))
