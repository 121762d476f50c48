#!/usr/bin/env python3
"""Turns an xwd screenshot (24 or 32 bits a pixel, as Xvfb's root window
gives it) into a PNG, optionally cut to a rectangle.

    xwd_png.py SHOT.xwd OUT.png [X Y WIDTH HEIGHT]
"""
import struct
import sys
import zlib


def read_xwd(path):
    data = open(path, "rb").read()
    header_size = struct.unpack(">I", data[0:4])[0]
    fields = struct.unpack(">25I", data[:100])
    (_, version, _fmt, _depth, width, height, _xoff, byte_order, _unit, _bit_order, _pad,
     bits_per_pixel, bytes_per_line, _visual, red_mask, green_mask, blue_mask, _bits_rgb,
     _cmap_entries, ncolors, _ww, _wh, _wx, _wy, _bw) = fields
    if version != 7 or bits_per_pixel not in (24, 32):
        raise SystemExit("xwd_png: only 24- and 32-bit xwd files of version 7")
    offset = header_size + ncolors * 12
    step = bits_per_pixel // 8
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    shifts = (shift(red_mask), shift(green_mask), shift(blue_mask))
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        out = bytearray()
        for x in range(width):
            chunk = line[x * step:(x + 1) * step]
            v = int.from_bytes(chunk, "little" if order == "<" else "big")
            out += bytes(((v >> shifts[0]) & 255, (v >> shifts[1]) & 255, (v >> shifts[2]) & 255))
        rows.append(bytes(out))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + r for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    width, height, rows = read_xwd(sys.argv[1])
    if len(sys.argv) == 7:
        x, y, w, h = (int(v) for v in sys.argv[3:7])
        x, y = max(0, x), max(0, y)
        w, h = min(w, width - x), min(h, height - y)
        rows = [r[x * 3:(x + w) * 3] for r in rows[y:y + h]]
        width, height = w, h
    write_png(sys.argv[2], width, height, rows)


if __name__ == "__main__":
    main()
