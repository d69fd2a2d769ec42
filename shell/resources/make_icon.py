#!/usr/bin/env python3
"""Draws the application icon (a disk platter with a read head, in 16, 32 and 48 pixels) and writes
it as resources/app_icon.ico: 32-bit BMP images with an AND mask, as Windows icon files hold them."""
import math
import os
import struct


def pixel(size, x, y):
    cx = cy = (size - 1) / 2
    r = math.hypot(x - cx, y - cy) / (size / 2)
    if r > 0.95:
        return (0, 0, 0, 0)
    if r < 0.12:
        return (40, 40, 48, 255)  # spindle
    # A head arm from the lower right towards the centre.
    u, v = (x - cx) / size, (y - cy) / size
    if 0.05 < u < 0.45 and abs(v - u * 0.9) < 0.05:
        return (230, 170, 40, 255)
    shade = int(120 + 100 * (1 - r))
    return (shade // 3, shade // 2 + 40, shade, 255)  # blue-grey platter


def bmp_image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            rows.append(struct.pack("BBBB", b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = b"\0" * mask_row * size  # the alpha channel decides
    return header + b"".join(rows) + mask


def main():
    sizes = (16, 32, 48)
    images = [bmp_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    out += b"".join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app_icon.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
