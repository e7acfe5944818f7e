"""The page checker refuses what would let a page rot, and passes what is true.

Each case is a small source tree of pages (and files they cite); the checker
runs over it as over the real one.  Run by ctest (docs.checker) with the
same arguments as the real check, given in DOCS_CHECK_ARGS.
"""

import os
import shlex
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ARGS = shlex.split(os.environ.get("DOCS_CHECK_ARGS", ""))

# name, {file: text}, a line the checker must print ("" for a clean pass)
CASES = [
    ("output that matches", {"README.md": "```sh\necho hi\n```\n\n```text\nhi\n```\n"}, ""),
    ("output that differs", {"README.md": "```sh\necho hi\n```\n\n```text\nho\n```\n"},
     "README.md:1: prints something else"),
    ("output with lines beyond those shown", {"README.md": "```sh\necho a; echo b\n```\n\n```text\na\n```\n"},
     "prints something else"),
    ("... stands for lines", {"README.md": "```sh\nprintf 'a\\nb\\nc\\n'\n```\n\n```text\na\n...\nc\n```\n"},
     ""),
    ("... keeps the order", {"README.md": "```sh\nprintf 'a\\nb\\nc\\n'\n```\n\n```text\nc\n...\na\n```\n"},
     "prints something else"),
    ("standard error in order", {"README.md": "```sh\necho out; echo err >&2; echo out2\n```\n\n"
                                              "```text\nout\nerr\nout2\n```\n"}, ""),
    ("a failing block without output", {"README.md": "```sh\nexit 3\n```\n"}, "README.md:1: exits 3"),
    ("a failing block with its output shown", {"README.md": "```sh\necho no; exit 3\n```\n\n```text\nno\n```\n"},
     ""),
    ("prose between code and text", {"README.md": "```sh\nexit 1\n```\n\nwords\n\n```text\nx\n```\n"},
     "exits 1"),
    ("python runs", {"README.md": "```python\nprint(6 * 7)\n```\n\n```text\n42\n```\n"}, ""),
    ("python fails", {"README.md": "```python\nraise SystemExit(2)\n```\n"}, "exits 2"),
    ("c that does not compile", {"README.md": "```c\nint main(void) { return x; }\n```\n"},
     "does not compile"),
    ("c that runs", {"README.md": "```c\n#include <stdio.h>\nint main(void) { puts(\"c\"); return 0; }\n"
                                  "```\n\n```text\nc\n```\n"}, ""),
    ("cpp warnings are errors", {"README.md": "```cpp\nint main() { int unused; return 0; }\n```\n"},
     "does not compile"),
    ("a fragment is not run", {"README.md": "```sh fragment\nexit 1\n```\n"}, ""),
    ("a block without a language", {"README.md": "```\nls\n```\n"}, "without a language"),
    ("an unknown marker", {"README.md": "```sh frgment\nls\n```\n"}, "info string"),
    ("an excerpt of its file", {"README.md": "```c from a.c\n  int b;\n  int c;\n```\n",
                                "a.c": "void f(void) {\n    int a;\n    int b;\n    int c;\n}\n"}, ""),
    ("an excerpt out of order", {"README.md": "```c from a.c\nint c;\nint b;\n```\n",
                                 "a.c": "int a;\nint b;\nint c;\n"}, "not lines of a.c"),
    ("an excerpt with a gap it does not show", {"README.md": "```c from a.c\nint a;\nint c;\n```\n",
                                                "a.c": "int a;\nint b;\nint c;\n"}, "not lines of a.c"),
    ("an excerpt that skips with ...", {"README.md": "```c from a.c\nint a;\n...\nint c;\n```\n",
                                        "a.c": "int a;\nint b;\nint c;\n"}, ""),
    ("an excerpt of a missing file", {"README.md": "```text from gone.out\nx\n```\n"}, "gone.out does not exist"),
    ("a link to a page and its heading", {"README.md": "[x](docs/a.md#two-words)\n",
                                          "docs/a.md": "# A\n\n## Two words\n"}, ""),
    ("a link to a missing page", {"README.md": "[x](docs/b.md)\n"}, "no docs/b.md"),
    ("a link to a missing heading", {"README.md": "[x](docs/a.md#three)\n", "docs/a.md": "## Two\n"},
     "no heading #three"),
    ("a link within the page", {"README.md": "# Top\n\n[x](#top)\n[y](#bottom)\n"}, "no heading #bottom"),
    ("a heading's punctuation", {"README.md": "## The `x` it's C++\n\n[x](#the-x-its-c)\n"}, ""),
    ("links in code are not links", {"README.md": "`[x](nowhere.md)`\n"}, ""),
    ("a page of another branch", {"README.md": "[x](docs/drovdef.md)\n"}, ""),
    ("a link out of a docs page", {"README.md": "", "docs/a.md": "[up](../README.md) [no](../NONE.md)\n"},
     "docs/a.md:1: link to ../NONE.md"),
]


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
