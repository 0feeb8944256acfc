#!/usr/bin/env python3
"""Runs the README's chain on the example model and checks the two pictures:
each decodes (zlib only), shows the model over at least a tenth of the frame,
and in many colours, as a coloured model does (a grey one has a handful of
shades of one hue)."""
import os, subprocess, sys, tempfile

root, bin_dir = sys.argv[1], sys.argv[2]
decode = os.path.join(root, "tests", "tools", "png_decode.py")
with tempfile.TemporaryDirectory() as out:
    subprocess.run([os.path.join(root, "scripts", "chain.sh"), bin_dir,
                    os.path.join(root, "examples", "kleopatra.stl"),
                    os.path.join(root, "examples", "points.txt"), out],
                   check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, THREADS="2"))
    for name in ("kleopatra_plumbline.png", "kleopatra_geopot.png"):
        ppm = subprocess.run([sys.executable, decode, os.path.join(out, name)], check=True,
                             stdout=subprocess.PIPE).stdout
        header, rest = ppm.split(b"\n", 1)
        size, rest = rest.split(b"\n", 1)
        w, h = map(int, size.split())
        pixels = rest.split(b"\n", 1)[1]
        rgb = [pixels[i:i + 3] for i in range(0, len(pixels), 3)]
        background = rgb[0]
        covered = sum(1 for p in rgb if p != background)
        hues = {p for p in rgb if p != background and not (p[0] == p[1] == p[2])}
        print("%s: %dx%d, %.0f%% covered, %d colours" % (name, w, h, 100.0 * covered / len(rgb), len(hues)))
        assert covered > len(rgb) // 10, name
        assert len(hues) > 200, name
