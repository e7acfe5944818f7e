"""The page checker refuses what would let a page rot, and passes what is true.

Each case (tests/golden/docs/checker.cases) is a small source tree of pages
(and files they cite); the checker runs over it as over the real one.  Run by
ctest (docs.checker) with the same arguments as the real check, given in
DOCS_CHECK_ARGS.
"""

import os
import shlex
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = shlex.split(os.environ.get("DOCS_CHECK_ARGS", ""))


def cases(path):
    """(name, {file: text}, a line the checker must print or "") of each case of the file."""
    out = []
    with open(path) as f:
        for line in f.read().splitlines():
            if line.startswith("=== "):
                name, _, expected = line[4:].partition(" => ")
                out.append((name, {}, expected))
            elif line.startswith("--- "):
                out[-1][1][line[4:]] = ""
            elif out:
                files = out[-1][1]
                files[list(files)[-1]] += line + "\n"
    return out


CASES = cases(os.path.join(HERE, "..", "golden", "docs", "checker.cases"))


def check(tmp_path, files):
    src = tmp_path / "src"
    for name, text in files.items():
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_text(text)
    (src / "docs").mkdir(exist_ok=True)
    return subprocess.run([sys.executable, os.path.join(HERE, "check_docs.py"), "--source", str(src),
                           "--work", str(tmp_path / "work")] + strip_tree_args(ARGS),
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("name,files,expected", CASES, ids=[c[0] for c in CASES])
def test_case(tmp_path, name, files, expected):
    p = check(tmp_path, files)
    if expected:
        assert p.returncode == 1, p.stdout
        assert expected in p.stdout, p.stdout
    else:
        assert p.returncode == 0, p.stdout
        assert p.stdout.strip().endswith("0 failures"), p.stdout


def test_fill_writes_only_placeholders(tmp_path):
    page = "```sh\necho new\n```\n\n```text\n...\n```\n\n```sh\necho b\n```\n\n```text\nb\n```\n"
    files = {"README.md": page}
    check(tmp_path, files)  # writes the tree
    p = subprocess.run([sys.executable, os.path.join(HERE, "check_docs.py"), "--fill", "--source",
                        str(tmp_path / "src"), "--work", str(tmp_path / "work2")] + strip_tree_args(ARGS),
                       capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stdout
    assert (tmp_path / "src" / "README.md").read_text() == page.replace("...", "new")


def strip_tree_args(args):
    """The real check's arguments without its tree and scratch folder."""
    out, skip = [], 0
    for a in args:
        if skip:
            skip -= 1
        elif a in ("--source", "--work"):
            skip = 1
        else:
            out.append(a)
    return out
