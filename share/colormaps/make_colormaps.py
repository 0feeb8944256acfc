#!/usr/bin/env python3
"""Writes the bundled colour maps: CM_STL files for the colouring tools.

    make_colormaps.py [DIR]      (DIR defaults to this script's folder)

Every map covers the whole colour table, indices 0 to 32767. A map is given
by control colours at evenly spaced positions t = 0 ... 1 (index = t * 32767)
and interpolated linearly in between, component by component on the 0..255
scale. Each index's colour is then reduced to five bits per component as the
colour-map reader does, trunc(c * 31 / 255 + 0.5), and runs of indices with
the same five-bit colour are written as one line "n-m R G B", the components
given as the eight-bit value trunc(c5 * 255 / 31 + 0.5) of the five-bit one,
so that the reader rebuilds exactly these words. Lines are short (under 30
characters) and the files hold no blank line, which would end the map.

viridis.cm: perceptually uniform sequential map, dark blue-violet through
  teal and green to yellow, rising steadily in lightness; readable in grey and
  by readers with the common colour-vision deficiencies. Control colours
  (0..1 scale): every 16th entry (0, 16, ..., 240) and the last entry (255) of
  the 256-entry "viridis" table published with matplotlib (public domain,
  CC0):
    0.267004 0.004874 0.329415    0.282327 0.094955 0.417331
    0.278826 0.175490 0.483397    0.258965 0.251537 0.524736
    0.229739 0.322361 0.545706    0.199430 0.387607 0.554642
    0.172719 0.448791 0.557885    0.149039 0.508051 0.557250
    0.127568 0.566949 0.550556    0.120638 0.625828 0.533488
    0.157851 0.683765 0.501686    0.246070 0.738910 0.452024
    0.369214 0.788888 0.382914    0.515992 0.831158 0.294279
    0.678489 0.863742 0.189503    0.845561 0.887322 0.099702
    0.993248 0.906157 0.143936
  The table's entries sit at t = k / 255, so the control colours do too.

blue_white_red.cm: diverging map, dark blue at index 0, near-white in the
  middle (index 16384), dark red at 32767: for values with a natural centre,
  such as a potential normalised to 1. Control colours (0..255 scale): the
  eleven-class "RdBu" scheme of ColorBrewer (Apache License 2.0), in reverse
  order so that low values are blue:
    #053061 #2166ac #4393c3 #92c5de #d1e5f0 #f7f7f7
    #fddbc7 #f4a582 #d6604d #b2182b #67001f

grey.cm: grey ramp, black at index 0 to white at 32767, linear: the 32 greys
  that five bits can hold, each over an equal run of indices except black and
  white at the ends, which take half a run each (rounding to nearest).
"""
import os
import sys

ENTRIES = 32768

VIRIDIS = [
    (0.267004, 0.004874, 0.329415), (0.282327, 0.094955, 0.417331),
    (0.278826, 0.175490, 0.483397), (0.258965, 0.251537, 0.524736),
    (0.229739, 0.322361, 0.545706), (0.199430, 0.387607, 0.554642),
    (0.172719, 0.448791, 0.557885), (0.149039, 0.508051, 0.557250),
    (0.127568, 0.566949, 0.550556), (0.120638, 0.625828, 0.533488),
    (0.157851, 0.683765, 0.501686), (0.246070, 0.738910, 0.452024),
    (0.369214, 0.788888, 0.382914), (0.515992, 0.831158, 0.294279),
    (0.678489, 0.863742, 0.189503), (0.845561, 0.887322, 0.099702),
    (0.993248, 0.906157, 0.143936),
]
VIRIDIS_AT = [k / 255 for k in range(0, 256, 16)] + [1.0]

RDBU = ["#053061", "#2166ac", "#4393c3", "#92c5de", "#d1e5f0", "#f7f7f7",
        "#fddbc7", "#f4a582", "#d6604d", "#b2182b", "#67001f"]


def hex_colour(h):
    return tuple(int(h[i:i + 2], 16) for i in (1, 3, 5))


def evenly(n):
    return [k / (n - 1) for k in range(n)]


MAPS = {
    "viridis.cm": (VIRIDIS_AT, [tuple(255 * c for c in p) for p in VIRIDIS]),
    "blue_white_red.cm": (evenly(len(RDBU)), [hex_colour(h) for h in RDBU]),
    "grey.cm": ([0.0, 1.0], [(0, 0, 0), (255, 255, 255)]),
}


def colour_at(at, colours, t):
    """Linear interpolation between the control colours around t."""
    for k in range(len(at) - 1):
        if t <= at[k + 1] or k == len(at) - 2:
            u = (t - at[k]) / (at[k + 1] - at[k])
            u = min(max(u, 0.0), 1.0)
            return tuple(a + (b - a) * u for a, b in zip(colours[k], colours[k + 1]))


def five(c):
    return int(c * 31 / 255 + 0.5)


def eight(c5):
    return int(c5 * 255 / 31 + 0.5)


def lines(at, colours):
    words = [tuple(five(c) for c in colour_at(at, colours, i / (ENTRIES - 1)))
             for i in range(ENTRIES)]
    out, start = [], 0
    for i in range(1, ENTRIES + 1):
        if i == ENTRIES or words[i] != words[start]:
            r, g, b = (eight(c) for c in words[start])
            span = str(start) if i - 1 == start else "%d-%d" % (start, i - 1)
            out.append("%s %d %d %d\n" % (span, r, g, b))
            start = i
    return out


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, (at, colours) in MAPS.items():
        with open(os.path.join(folder, name), "w", newline="\n") as f:
            f.writelines(lines(at, colours))


if __name__ == "__main__":
    main()
