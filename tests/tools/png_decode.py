#!/usr/bin/env python3
"""Decodes a PNG file with nothing but zlib, as a check on the PNG writer.

    png_decode.py FILE

Checks the signature, every chunk's CRC, that IHDR comes first and IEND
last, and that the image is 8-bit RGB, non-interlaced; inflates the IDAT
stream, undoes the five row filters, and writes the pixels to standard
output as binary PPM ("P6\\nW H\\n255\\n" then W*H*3 bytes, rows top to
bottom). Any fault: a message on standard error and status 1.
"""
import struct
import sys
import zlib


def fail(message):
    sys.stderr.write(message + "\n")
    sys.exit(1)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def main():
    data = open(sys.argv[1], "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("bad signature")
    pos, chunks = 8, []
    while pos < len(data):
        if pos + 12 > len(data):
            fail("truncated chunk")
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length or pos + 12 + length > len(data):
            fail("truncated chunk")
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            fail("bad CRC in " + kind.decode("latin-1"))
        chunks.append((kind, body))
        pos += 12 + length
    if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND":
        fail("IHDR not first or IEND not last")
    width, height, depth, colour, method, filt, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (depth, colour, method, filt, interlace) != (8, 2, 0, 0, 0):
        fail("not 8-bit RGB non-interlaced")
    try:
        raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    except zlib.error as e:
        fail("bad IDAT stream: %s" % e)
    stride = 3 * width
    if len(raw) != height * (stride + 1):
        fail("IDAT holds %d bytes, not %d" % (len(raw), height * (stride + 1)))
    out = bytearray()
    prior = bytearray(stride)
    for r in range(height):
        f = raw[r * (stride + 1)]
        line = bytearray(raw[r * (stride + 1) + 1:(r + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 3] if i >= 3 else 0
            b = prior[i]
            c = prior[i - 3] if i >= 3 else 0
            if f == 0:
                pred = 0
            elif f == 1:
                pred = a
            elif f == 2:
                pred = b
            elif f == 3:
                pred = (a + b) // 2
            elif f == 4:
                pred = paeth(a, b, c)
            else:
                fail("bad filter type %d" % f)
            line[i] = (line[i] + pred) & 0xFF
        out += line
        prior = line
    sys.stdout.buffer.write(b"P6\n%d %d\n255\n" % (width, height) + bytes(out))


if __name__ == "__main__":
    main()
