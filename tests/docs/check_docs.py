#!/usr/bin/env python3
"""Keeps README.md and docs/*.md true: their code runs and their links lead somewhere.

Every fenced block carries an info string.  Its first word is the language;
the blocks in c, cpp, python and sh are code and are checked one of three ways:

  ```c  ```cpp  ```python  ```sh    a whole program (a shell script for sh),
                                    compiled against the build tree and run
                                    from a scratch folder that shows the
                                    source tree's files; it must exit 0
                                    unless a ```text block follows it
  ```LANG from PATH                 lines of PATH (from the source tree), in
                                    order; a line "..." stands for any lines
  ```LANG fragment                  a piece the text around it explains; not run

A ```text block right after a run block is its expected output: standard
output and standard error as a terminal shows them (both on one pty), each
line compared with trailing blanks stripped, "..." standing for any lines.
```text from PATH is checked as lines of PATH, like code.

Links: a relative link [..](target) must name a file or folder of the
source tree, and a #anchor must be a heading of the page it points into
(GitHub's anchors).  Pages written on another branch may be named in
ELSEWHERE: links to them are checked once they exist.

Prints one line per failure and a count of what was checked; exit 1 on any
failure.
"""

import argparse
import concurrent.futures
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import time

CODE = {"c", "cpp", "python", "sh"}
ELSEWHERE = {"docs/drovdef.md"}  # the tool's manual, kept with the tool


class Block:
    def __init__(self, page, line, info, body):
        self.page, self.line, self.body = page, line, body
        words = info.split()
        self.lang = words[0] if words else ""
        self.mode = "run"
        self.source = None
        self.output = None  # the ```text block after it
        rest = words[1:]
        if rest[:1] == ["fragment"]:
            self.mode = "fragment"
        elif rest[:1] == ["from"] and len(rest) == 2:
            self.mode, self.source = "from", rest[1]
        elif rest:
            self.mode = "bad"

    def where(self):
        return f"{self.page}:{self.line}"


def read_page(root, rel):
    """The page's blocks, and its text outside them (for links)."""
    blocks, prose = [], []
    lines = open(os.path.join(root, rel), encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        m = re.match(r"^(```+)(.*)$", lines[i])
        if not m:
            prose.append((i + 1, lines[i]))
            i += 1
            continue
        fence, info, start = m.group(1), m.group(2).strip(), i + 1
        body = []
        i += 1
        while i < len(lines) and lines[i].rstrip() != fence:
            body.append(lines[i])
            i += 1
        if i == len(lines):
            raise SystemExit(f"{rel}:{start}: code block never closed")
        i += 1
        blocks.append(Block(rel, start, info, "\n".join(body) + "\n"))
    # A text block right after a code block (only blank lines between) is its output.
    ends = {}
    for b in blocks:
        ends[b.line] = b
    for prev, b in zip(blocks, blocks[1:]):
        if prev.lang in CODE and prev.mode == "run" and b.lang == "text" and b.mode == "run":
            gap = lines[prev.line + prev.body.count("\n") + 1:b.line - 1]
            if all(not g.strip() for g in gap):
                prev.output = b
                b.mode = "output"
    return blocks, prose


def matches(want, got):
    """want's lines against got's: "..." (a line of its own) takes any lines."""
    want = [w.rstrip() for w in want.rstrip("\n").split("\n")]
    got = [g.rstrip() for g in got.rstrip("\n").split("\n")]

    def at(i, j):
        if i == len(want):
            return j == len(got)
        if want[i].strip() == "...":
            return any(at(i + 1, k) for k in range(j, len(got) + 1))
        return j < len(got) and want[i] == got[j] and at(i + 1, j + 1)

    return at(0, 0)


def excerpt_of(block, text):
    """block's lines appear in text in order, "..." skipping, indentation aside."""
    want = block.rstrip("\n").split("\n")
    have = text.split("\n")
    # The excerpt may be indented less than the file: the first line fixes the shift.
    first = next(w for w in want if w.strip() and w.strip() != "...")
    for start, line in enumerate(have):
        if line.rstrip().endswith(first.rstrip()) and line.strip() == first.strip():
            shift = line[: len(line.rstrip()) - len(first.rstrip())]
            if contiguous_enough(want, have, start, shift):
                return True
    return False


def contiguous_enough(want, have, start, shift):
    """Between two "..." the excerpt's lines are consecutive lines of the file."""
    j = start
    skipping = False
    for w in want:
        if w.strip() == "...":
            skipping = True
            continue
        target = ((shift + w) if w.strip() else "").rstrip()
        if skipping:
            while j < len(have) and have[j].rstrip() != target:
                j += 1
            skipping = False
        if j >= len(have) or have[j].rstrip() != target:
            return False
        j += 1
    return True


def run_on_pty(argv, cwd, env, timeout=120):
    """Runs argv with standard output and error on one pty: what a terminal shows."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=slave, stderr=slave, close_fds=True)
    os.close(slave)
    out = bytearray()
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            proc.kill()
            out += b"\n[timed out]\n"
            break
        r, _, _ = select.select([master], [], [], min(left, 1.0))
        if master in r:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: every writer has gone
                break
            if not chunk:
                break
            out += chunk
        elif proc.poll() is not None:
            # Nothing more to read once it has ended and the pty is drained.
            r, _, _ = select.select([master], [], [], 0.1)
            if master not in r:
                break
    os.close(master)
    rc = proc.wait()
    return rc, out.decode("utf-8", "replace").replace("\r\n", "\n")


class Checker:
    def __init__(self, a):
        self.a = a
        self.failures = []
        self.filled = []  # (text block, output) for --fill
        self.counts = {"run": 0, "from": 0, "fragment": 0, "outputs": 0, "links": 0}
        self.scratch = a.work
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)
        # The scratch folder shows the source tree's files (tests/golden/...,
        # examples/...) without letting a block write into it.
        for name in os.listdir(a.source):
            if name not in (".git",) and not name.startswith("build"):
                os.symlink(os.path.join(a.source, name), os.path.join(self.scratch, name))
        self.env = dict(os.environ)
        self.env["PATH"] = os.path.dirname(a.drovdef) + os.pathsep + self.env.get("PATH", "")
        self.env["PYTHONPATH"] = a.python_path
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"
        self.env["LC_ALL"] = "C.UTF-8"
        self.env["COLUMNS"] = "200"

    def fail(self, block_or_where, message):
        where = block_or_where.where() if isinstance(block_or_where, Block) else block_or_where
        self.failures.append(f"{where}: {message}")

    # ---- code ----
    def compile(self, b, n):
        ext, tool, std = {"c": (".c", self.a.cc, "-std=c99"),
                          "cpp": (".cpp", self.a.cxx, "-std=c++20")}[b.lang]
        src = os.path.join(self.scratch, f"block{n}{ext}")
        exe = os.path.join(self.scratch, f"block{n}")
        open(src, "w").write(b.body)
        cmd = [tool, std, "-Wall", "-Wextra", "-Werror", "-o", exe, src,
               f"-I{self.a.source}/include", f"-I{self.a.gen_include}",
               f"-L{self.a.libdir}", f"-L{self.a.runtime_libdir}", "-ldrov_def", "-lqel_standin",
               f"-Wl,-rpath,{self.a.libdir}:{self.a.runtime_libdir}"]
        p = subprocess.run(cmd, capture_output=True, text=True)
        if p.returncode != 0:
            return None, p.stderr.strip()
        return [exe], None

    def prepare(self, b, n):
        if b.lang in ("c", "cpp"):
            return self.compile(b, n)
        if b.lang == "python":
            path = os.path.join(self.scratch, f"block{n}.py")
            open(path, "w").write(b.body)
            return [self.a.python, "-X", "dev", path], None
        path = os.path.join(self.scratch, f"block{n}.sh")
        open(path, "w").write(b.body)
        return ["/bin/sh", path], None

    def check_code(self, blocks):
        """Compiles in parallel, then runs in the pages' order: a block may
        use the files a block before it wrote."""
        runs = [b for b in blocks if b.lang in CODE and b.mode == "run"]
        with concurrent.futures.ThreadPoolExecutor(self.a.jobs) as pool:
            prepared = list(pool.map(lambda nb: self.prepare(nb[1], nb[0]), enumerate(runs)))
        for b, (argv, err) in zip(runs, prepared):
            self.counts["run"] += 1
            if argv is None:
                self.fail(b, f"does not compile:\n{err}")
                continue
            rc, out = run_on_pty(argv, self.scratch, self.env)
            if b.output is not None and self.a.fill and b.output.body == "...\n":
                self.filled.append((b.output, out))
                continue
            if b.output is not None:
                self.counts["outputs"] += 1
                if not matches(b.output.body, out):
                    self.fail(b, "prints something else than the text block after it; it printed:\n"
                              + out)
            elif rc != 0:
                self.fail(b, f"exits {rc}:\n{out}")

    def check_excerpt(self, b):
        path = os.path.join(self.a.source, b.source)
        if not os.path.isfile(path):
            self.fail(b, f"{b.source} does not exist")
            return
        self.counts["from"] += 1
        if not excerpt_of(b.body, open(path, encoding="utf-8").read()):
            self.fail(b, f"these lines are not lines of {b.source}")

    # ---- links ----
    @staticmethod
    def anchors(rel, root):
        seen, out = {}, set()
        _, prose = read_page(root, rel)
        for _, line in prose:
            m = re.match(r"^#{1,6}\s+(.*?)\s*#*$", line)
            if not m:
                continue
            slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
            n = seen.get(slug, 0)
            seen[slug] = n + 1
            out.add(slug if n == 0 else f"{slug}-{n}")
        return out

    def check_links(self, rel, prose):
        here = os.path.dirname(rel)
        for number, line in prose:
            text = re.sub(r"`[^`]*`", "", line)
            for target in re.findall(r"\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)", text):
                if re.match(r"^[a-z]+:", target):
                    continue
                self.counts["links"] += 1
                path, _, anchor = target.partition("#")
                dest = os.path.normpath(os.path.join(here, path)) if path else rel
                if not os.path.exists(os.path.join(self.a.source, dest)):
                    if dest not in ELSEWHERE:
                        self.fail(f"{rel}:{number}", f"link to {target}: no {dest}")
                    continue
                if anchor:
                    if not dest.endswith(".md"):
                        self.fail(f"{rel}:{number}", f"link to {target}: {dest} has no headings")
                    elif anchor not in self.anchors(dest, self.a.source):
                        self.fail(f"{rel}:{number}", f"link to {target}: no heading #{anchor}")

    def check(self, pages):
        everything = []
        for rel in pages:
            blocks, prose = read_page(self.a.source, rel)
            self.check_links(rel, prose)
            for b in blocks:
                if not b.lang:
                    self.fail(b, "a code block without a language (```text for plain text)")
                elif b.mode == "bad":
                    self.fail(b, "info string: LANG, LANG fragment or LANG from PATH")
                elif b.mode == "from":
                    self.check_excerpt(b)
                elif b.mode == "fragment" and b.lang in CODE:
                    self.counts["fragment"] += 1
            everything += blocks
        self.check_code(everything)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--source", required=True)
    p.add_argument("--work", required=True, help="a scratch folder, emptied first")
    p.add_argument("--cc", required=True)
    p.add_argument("--cxx", required=True)
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--python-path", required=True, help="where the drov_def package is")
    p.add_argument("--gen-include", required=True, help="the generated headers' folder")
    p.add_argument("--libdir", required=True, help="libdrov_def's folder")
    p.add_argument("--runtime-libdir", required=True, help="libqel_standin's folder")
    p.add_argument("--drovdef", required=True)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--fill", action="store_true",
                   help="write what a block prints into a text block after it that holds only ...")
    p.add_argument("pages", nargs="*", help="default: README.md and docs/*.md")
    a = p.parse_args()
    a.source = os.path.abspath(a.source)
    pages = a.pages or ["README.md"] + sorted(
        "docs/" + f for f in os.listdir(os.path.join(a.source, "docs")) if f.endswith(".md"))
    c = Checker(a)
    c.check(pages)
    for text, out in reversed(c.filled):
        path = os.path.join(a.source, text.page)
        lines = open(path, encoding="utf-8").read().split("\n")
        # The text block's body is the one line after its fence.
        lines[text.line:text.line + 1] = [l.rstrip() for l in out.rstrip("\n").split("\n")]
        open(path, "w", encoding="utf-8").write("\n".join(lines))
    for f in c.failures:
        print(f)
    k = c.counts
    print(f"{len(pages)} pages: {k['run']} code blocks run ({k['outputs']} with their output "
          f"checked), {k['from']} excerpts checked, {k['fragment']} fragments, "
          f"{k['links']} links; {len(c.failures)} failures")
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
