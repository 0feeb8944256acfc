"""Model.write_colours's figures: the picture as PNG, PDF or SVG by the
extension, the latitude-longitude map, the light background by default
and the dark one on request, decoded by tests/tools/png_decode.py; the
refusals named as Python parameters.

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KLEOPATRA = os.path.join(ROOT, "tests", "data", "models", "kleopatra.stl")
DECODE = os.path.join(ROOT, "tests", "tools", "png_decode.py")


def pixels(path):
    """(width, height, bytes) of a PNG, by the independent decoder."""
    ppm = subprocess.run([sys.executable, DECODE, str(path)], check=True,
                         capture_output=True).stdout
    magic, size, depth, data = ppm.split(b"\n", 3)
    w, h = map(int, size.split())
    return w, h, data


def test_picture_map_and_vector_outputs(tmp_path):
    m = polyfield.Model(KLEOPATRA, unit="km")
    s = m.surface(density=3600)
    out = {k: tmp_path / ("k." + k) for k in ("png", "pdf", "svg")}
    lo, hi = m.write_colours(s["slope"], picture=str(out["pdf"]), latlon=str(out["svg"]),
                             png=str(out["png"]), label="slope [deg]", title="Kleopatra",
                             size=(600, 400))
    assert 0 < lo < hi < 90
    w, h, data = pixels(out["png"])
    assert (w, h) == (600, 400)
    assert data[:3] == b"\xff\xff\xff"  # the light background
    assert out["pdf"].read_bytes()[:7] == b"%PDF-1." and out["pdf"].read_bytes().endswith(b"%%EOF\n")
    root = ET.parse(out["svg"]).getroot()
    assert root.tag.endswith("svg") and root.get("width") == "600pt"
    # Dark on request, shaded.
    dark = tmp_path / "dark.png"
    m.write_colours(s["slope"], picture=str(dark), background="dark", shading="lambert")
    w, h, data = pixels(dark)
    # At most 800 x 600 by default, cut to the model's shape (here it fills
    # both ways).
    assert max(w / 800, h / 600) == 1 and w <= 800 and h <= 600 and data[:3] == bytes([40, 44, 52])
    # The map cut to its 2:1 frame.
    flat = tmp_path / "flat.png"
    m.write_colours(s["slope"], latlon=str(flat))
    w, h, data = pixels(flat)
    assert w == 800 and 350 < h < 450


def test_label_triad_and_scale_bar_as_svg_text(tmp_path):
    m = polyfield.Model(KLEOPATRA, unit="km")
    s = m.surface(density=3600)
    svg = tmp_path / "u.svg"
    m.write_colours(s["U"], picture=str(svg), label="U [m^2/s^2]", triad=True, scale_bar=True)
    texts = [t.text for t in ET.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}text")]
    assert "U [m\u00b2/s\u00b2]" in texts and "20 km" in texts
    assert "view from lon 30\u00b0, lat 25\u00b0" in texts
    plain = tmp_path / "plain.svg"
    m.write_colours(s["U"], picture=str(plain), outline=False)
    assert not [t for t in ET.parse(plain).getroot().iter("{http://www.w3.org/2000/svg}text")
                if t.text.endswith(" km")]


def test_figure_options_are_refused_by_name(tmp_path):
    m = polyfield.Model(KLEOPATRA)
    v = np.zeros(m.facets)
    with pytest.raises(polyfield.ValueError, match='^background: "grey" is not one of light, dark'):
        m.write_colours(v, picture=str(tmp_path / "a.png"), background="grey")
    with pytest.raises(polyfield.ValueError, match='^shading: "flat" is not one of none, lambert'):
        m.write_colours(v, latlon=str(tmp_path / "a.png"), shading="flat")
    with pytest.raises(polyfield.ValueError, match="^latlon: .* is the file of picture too"):
        m.write_colours(v, picture=str(tmp_path / "a.png"), latlon=str(tmp_path / "a.png"))
    assert not (tmp_path / "a.png").exists()
