"""Model.harmonics against the polyfield program, bit for bit and byte for
byte, and its arrays, properties and refusals.

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import os
import subprocess
import warnings

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EROS = os.path.join(ROOT, "tests", "data", "models", "eros1708_km.vf.txt")
BIN = os.environ.get("POLYFIELD_BIN", os.path.join(ROOT, "build", "bin"))
ARGS = ["--degree", "12", "--reference-radius", "16", "--density", "2670", "--unit", "km"]


def run(*args):
    return subprocess.run([os.path.join(BIN, "polyfield"), "harmonics", EROS, *args],
                          capture_output=True)


@pytest.fixture(scope="module")
def eros():
    return polyfield.Model(EROS, unit="km").harmonics(12, reference_radius=16, density=2670)


def test_arrays_are_the_programs_rows(eros):
    r = run(*ARGS)
    assert r.returncode == 0, r.stderr
    rows = [line.split(b"\t") for line in r.stdout.splitlines() if not line.startswith(b"#")]
    assert len(rows) == 13 * 14 // 2
    for n, m, C, S in rows:
        n, m = int(n), int(m)
        assert eros.C[n, m] == float(C) and eros.S[n, m] == float(S)
    assert eros.C.shape == eros.S.shape == (13, 13)
    assert not np.triu(eros.C, 1).any() and not np.triu(eros.S, 1).any()
    assert eros.degree == 12 and eros.reference_radius == 16 and eros.origin == (0, 0, 0)
    assert eros.GM == pytest.approx(446310, rel=0.01)  # NEAR's GM, 0.5 % above the shape's


@pytest.mark.parametrize("fmt", ["tsv", "csv", "npy", "icgem", "shadr"])
def test_files_are_the_programs(eros, tmp_path, fmt):
    mine, theirs = tmp_path / ("module." + fmt), tmp_path / ("program." + fmt)
    # About the model's origin, as the fixture's coefficients are: the
    # program's default for ICGEM and SHADR is the centre of mass, and both
    # faces warn of the degree-1 terms.
    origin = ["--origin", "model"] if fmt in ("icgem", "shadr") else []
    with warnings.catch_warnings(record=True) as told:
        warnings.simplefilter("always")
        eros.write(str(mine), format=fmt)
    r = run(*ARGS, *origin, "--format", fmt, "-o", str(theirs))
    assert r.returncode == 0
    assert mine.read_bytes() == theirs.read_bytes()
    assert [str(w.message) for w in told] == \
        ([r.stderr.decode()[len("polyfield: "):-1].replace("--origin", "origin")] if origin else [])


def test_propagator_files_warn_about_the_models_origin(tmp_path):
    # About the model's origin a table is written without a word, an ICGEM
    # or SHADR file with the warning, and none at all when it is an error;
    # about the centre of mass, without one.
    model = polyfield.Model(EROS, unit="km")
    h = model.harmonics(2, density=2670)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        h.write(str(tmp_path / "model.tsv"))
        model.harmonics(2, density=2670, origin="centre-of-mass").write(
            str(tmp_path / "about.gfc"), format="icgem")
        for fmt in ("icgem", "shadr"):
            with pytest.raises(UserWarning, match="^format %s: the expansion is about the model's "
                               "origin, 0.05 km from the centre of mass: its degree-1 terms are not "
                               "zero .* \\(origin centre-of-mass expands about it\\)$" % fmt):
                h.write(str(tmp_path / "no.tab"), format=fmt)
    assert not (tmp_path / "no.tab").exists() and not (tmp_path / "no.lbl").exists()


def pds_label(text):
    """A PDS3 label's objects: {"": top-level keywords, "NAME": [objects...]},
    each a dict of its keywords and its COLUMN objects, quoted values
    unquoted; lines must end in CR LF."""
    assert text.endswith("END\r\n") and "\n" not in text.replace("\r\n", "")
    lines = text.split("\r\n")[:-1]
    stack = [{"COLUMN": []}]
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.strip() == "END":
            break
        key, value = (part.strip() for part in line.split("=", 1))
        while value.count('"') % 2:  # a quoted string goes on to its closing quote
            value += " " + lines[i].strip()
            i += 1
        if key == "OBJECT":
            stack.append({"COLUMN": []})
        elif key == "END_OBJECT":
            done = stack.pop()
            stack[-1].setdefault(value, []).append(done)
        else:
            stack[-1][key] = value.strip('"')
    assert len(stack) == 1
    return stack[0]


def test_shadr_records_as_the_label_describes_them(tmp_path):
    # Read as a PDS reader reads it: the label's record length and count,
    # the tables at their records, each column at its bytes.
    h = polyfield.Model(EROS, unit="km").harmonics(5, reference_radius=16, density=2670,
                                                   origin="centre-of-mass")
    h.write(str(tmp_path / "eros.tab"), format="shadr")
    label = pds_label((tmp_path / "eros.lbl").read_bytes().decode("ascii"))
    data = (tmp_path / "eros.tab").read_bytes()
    assert label["PDS_VERSION_ID"] == "PDS3" and label["RECORD_TYPE"] == "FIXED_LENGTH"
    size, count = int(label["RECORD_BYTES"]), int(label["FILE_RECORDS"])
    assert len(data) == size * count and count == 2 + 6 * 7 // 2
    # The header's row fills the first two records, CR LF ending the second.
    records = [data[k:k + size] for k in range(0, len(data), size)]
    assert all(rec.endswith(b"\r\n") for rec in records[1:])
    assert data.count(b"\n") == data.count(b"\r") == count - 1

    def table(name):
        pointer = label["^" + name]
        file, first = pointer.strip("()").split(",")
        assert file.strip().strip('"') == "eros.tab"
        [obj] = label[name]
        width = int(obj["ROW_BYTES"]) + int(obj["ROW_SUFFIX_BYTES"])
        assert width % size == 0
        start = (int(first) - 1) * size
        rows = []
        for r in range(int(obj["ROWS"])):
            row = data[start + r * width:start + (r + 1) * width]
            assert row[int(obj["ROW_BYTES"]):-2].strip(b" ") == b""  # the pad is spaces
            assert len(obj["COLUMN"]) == int(obj["COLUMNS"])
            fields = []
            for col in obj["COLUMN"]:
                a = int(col["START_BYTE"]) - 1
                text = row[a:a + int(col["BYTES"])].decode("ascii")
                fields.append(int(text) if col["DATA_TYPE"] == "ASCII_INTEGER" else float(text))
            rows.append(fields)
        return rows

    [head] = table("SHADR_HEADER_TABLE")
    assert head == [16.0, h.GM / 1e9, 0.0, 5, 5, 1, 0.0, 0.0]
    rows = table("SHADR_COEFFICIENTS_TABLE")
    assert [(n, m) for n, m, *_ in rows] == [(n, m) for n in range(6) for m in range(n + 1)]
    for n, m, C, S, sC, sS in rows:
        assert (C, S, sC, sS) == (h.C[n, m], h.S[n, m], 0, 0)


def test_without_density_the_volume_and_the_brillouin_radius():
    h = polyfield.Model(EROS).harmonics(2)
    assert h.GM == pytest.approx(2491.6158371488, rel=1e-12)
    assert h.reference_radius == pytest.approx(17.648090562106965, rel=1e-15)
    about = polyfield.Model(EROS).harmonics(1, origin="centre-of-mass")
    assert abs(about.C[1]).max() < 1e-15 and abs(about.S[1]).max() < 1e-15


@pytest.mark.parametrize("call, message", [
    (lambda m: m.harmonics(-1), "^degree: -1 is not a degree from 0 to 1000"),
    (lambda m: m.harmonics(2, reference_radius=0), "^reference_radius: not a positive number"),
    (lambda m: m.harmonics(2, origin="centroid"), "is not one of model, centre-of-mass"),
    (lambda m: m.harmonics(2).write(os.devnull, format="shadr"), "shadr needs a density, mass or GM"),
    (lambda m: m.harmonics(2).write(os.devnull, format="gfc"), "is not one of tsv, csv"),
])
def test_refusals(call, message):
    with pytest.raises(polyfield.Error, match=message):
        call(polyfield.Model(EROS))


def test_the_constant_given_is_the_constant_written(tmp_path):
    cube = polyfield.Model(os.path.join(ROOT, "tests", "data", "cube.vf.txt"))
    for model in (polyfield.Model(EROS, unit="km"), cube):
        plain, h = model.harmonics(4), model.harmonics(4, gm=4.46e5)
        assert h.GM == 4.46e5 and model.harmonics(4, mass=7.0).GM == 7.0 * 6.6743e-11
        for other in (h, model.harmonics(4, density=2670)):  # a density scales GM alone
            assert other.C.tobytes() == plain.C.tobytes() and other.S.tobytes() == plain.S.tobytes()
    h.write(str(tmp_path / "cube.gfc"), format="icgem")
    assert "\nearth_gravity_constant  4.46e+05\n" in (tmp_path / "cube.gfc").read_text()
    assert cube.harmonics(2, density=1000).GM == 6.6743e-11 * 1000  # G rho V, V = 1
    assert polyfield.Body([(cube, 1000), (cube, 500)]).harmonics(2).GM == 6.6743e-11 * 1500


def test_names_stay_text(tmp_path):
    # A newline, NEL and the line separator in the name: every reader, and
    # str.splitlines(), finds one header, a one-word modelname and the rows.
    name = tmp_path / "x\nend_of_head ==\ngfc 2 0 9 0 0 0\x85begin_of_head\u2028q.vf.txt"
    name.write_bytes(open(os.path.join(ROOT, "tests", "data", "cube.vf.txt"), "rb").read())
    h = polyfield.Model(str(name)).harmonics(2, density=1000)
    for fmt in ("icgem", "tsv"):
        h.write(str(tmp_path / fmt), format=fmt)
        lines = (tmp_path / fmt).read_text(encoding="utf-8").splitlines()
        first = [line.split()[0] for line in lines]
        if fmt == "icgem":
            end = first.index("end_of_head")
            assert first.count("begin_of_head") == 1 and first[end:] == ["end_of_head"] + ["gfc"] * 6
            assert [line.split() for line in lines if line.startswith("modelname")] == \
                [["modelname", "x_end_of_head____gfc_2_0_9_0_0_0_begin_of_head_q"]]
        else:
            assert first.count("#") == len(lines) - 6
