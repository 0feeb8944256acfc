#!/usr/bin/env python3
"""Runs every example of the command pages in docs/ and of the README, and
compares the output.

An example is a ```console block: lines beginning with "$ " are commands, run
by /bin/sh in a scratch folder that holds the test models (tests/data and its models/), the
example model (examples/) and the bundled colour maps, with the programs on
PATH; the lines after a command, up to the next command or the end of the
block, are its standard output and standard error as printed. The scratch
folder also looks like the clone's own folder after a build, for the
README's commands as a newcomer types them there: examples/ and build/ (the
build folder, whose bin/ holds the programs and python/ the module).

    check_docs.py SOURCE_DIR BIN_DIR [PYTHON | skip]

PYTHON is the interpreter the module is built for, first on PATH after the
programs as python3; "skip": this build has no Python module, so the
examples that import it or run a script with python3 are not run (and
counted apart).

A ```python block whose first line is "# examples/NAME.py" shows that
file of the clone: it must be that file, character for character.

Commands that name Debian's interpreter (/usr/bin/python3, as the README's
Python lines do) run with PYTHON, when the module is built for another.

mpirun runs as the tests do (as root in CI, more ranks than cores)."""
import glob, os, shutil, subprocess, sys, tempfile

root, bin_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
python = sys.argv[3] if len(sys.argv) > 3 else sys.executable
left_out = 0
pages = sorted(glob.glob(os.path.join(root, "docs", "*.md"))) + [os.path.join(root, "README.md")]
# The Python module beside the programs (build/python).
build_dir = os.path.dirname(bin_dir)
python_dir = os.path.join(build_dir, "python")
path = [bin_dir] + ([os.path.dirname(os.path.abspath(python))] if python != "skip" else [])
failures = examples = 0
for page in pages:
    lines = open(page, encoding="utf-8").read().split("\n")
    blocks, block, shown = [], None, None
    for line in lines:
        if shown is not None and line.strip() == "```":
            name = shown[0][2:] if shown and shown[0].startswith("# examples/") else None
            if name and "\n".join(shown) + "\n" != open(os.path.join(root, name),
                                                         encoding="utf-8").read():
                failures += 1
                print("%s: the block of %s is not that file" % (os.path.basename(page), name))
            shown = None
        elif shown is not None:
            shown.append(line)
        elif block is None and line.strip() == "```python":
            shown = []
        elif block is None and line.strip() == "```console":
            block = []
        elif block is not None and line.strip() == "```":
            blocks.append(block)
            block = None
        elif block is not None:
            block.append(line)
    with tempfile.TemporaryDirectory() as work:
        for src in ("tests/data", "tests/data/models", "examples", "share/colormaps"):
            for f in glob.glob(os.path.join(root, src, "*")):
                if os.path.isfile(f):
                    shutil.copy(f, work)
        shutil.copytree(os.path.join(root, "examples"), os.path.join(work, "examples"))
        os.symlink(build_dir, os.path.join(work, "build"))
        env = dict(os.environ, PATH=os.pathsep.join(path + [os.environ["PATH"]]), THREADS="2",
                   PYTHONPATH=python_dir, OMPI_ALLOW_RUN_AS_ROOT="1",
                   OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1", OMPI_MCA_rmaps_base_oversubscribe="1")
        for block in blocks:
            i = 0
            while i < len(block):
                if not block[i].startswith("$ "):
                    i += 1
                    continue
                cmd, want, i = block[i][2:], [], i + 1
                while i < len(block) and not block[i].startswith("$ "):
                    want.append(block[i])
                    i += 1
                if python == "skip" and (("import" in cmd and "polyfield" in cmd) or
                                         "python3 " in cmd):
                    left_out += 1
                    continue
                if python != "skip":
                    cmd = cmd.replace("/usr/bin/python3 ", python + " ")
                got = subprocess.run(cmd, shell=True, cwd=work, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True).stdout
                examples += 1
                if got.rstrip("\n") != "\n".join(want).rstrip("\n"):
                    failures += 1
                    print("%s: $ %s\n--- documented\n%s\n--- printed\n%s" %
                          (os.path.basename(page), cmd, "\n".join(want), got))
print("%d pages, %d examples, %d differ%s" % (len(pages), examples, failures,
      ", %d Python examples left out (no module in this build)" % left_out if left_out else ""))
sys.exit(1 if failures or not examples else 0)
