#!/usr/bin/env python3
"""Runs every fenced block of the given Markdown files, as docs/development.md
("Docs that are tested") describes: sh under bash, python under python3,
cpp and c compiled against the built library and run, each in a fresh
temporary folder with a link `examples` to the repository's examples; an
`output` block right after a runnable one holds its exact standard output.

  run_blocks.py --examples DIR --include DIR --library LIB [--program EXE]...
                [--pythonpath DIR] [--cxx C++] [--cc CC] [--packages FILE]
                FILE.md|ROOT...

A folder ROOT stands for ROOT/README.md and every ROOT/docs/*.md, found when
the test runs, so that new pages are tested without configuring again.

Exit status 0 when every block ran as shown, 1 otherwise; each failure is
reported with the file and line of its block.
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

RUNNABLE = {"sh", "python", "cpp", "c"}
FENCE = re.compile(r"^(\s*)```\s*([A-Za-z0-9_+-]*)\s*$")
# Commands of this project that a shell block may call.
PROJECT_COMMAND = re.compile(r"(?<![\w./-])(vallisynth(?:-[a-z]+)?)(?![\w.-])")
TIMEOUT = 300


class Block:
    def __init__(self, path, line, tag, text):
        self.path, self.line, self.tag, self.text = path, line, tag, text
        self.expected = None  # the output block that follows, if any

    def where(self):
        return "%s:%d (%s)" % (self.path, self.line, self.tag)


def blocks_of(path):
    """The fenced blocks of a Markdown file, each output block attached to
    the runnable block just before it."""
    lines = pathlib.Path(path).read_text(encoding="utf-8").split("\n")
    found = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, tag = len(m.group(1)), m.group(2)
        start = i + 1
        i += 1
        while i < len(lines) and not re.match(r"^\s*```\s*$", lines[i]):
            i += 1
        if i == len(lines):
            raise SystemExit("%s:%d: a fenced block that never ends" % (path, start))
        body = "\n".join(l[indent:] if l[:indent].isspace() else l for l in lines[start:i])
        i += 1
        block = Block(path, start, tag, body + "\n")
        if tag == "output":
            previous = found[-1] if found else None
            if previous is None or previous.tag not in RUNNABLE or previous.expected is not None:
                raise SystemExit("%s:%d: an output block must follow a runnable block"
                                 % (path, start))
            previous.expected = block.text
            continue
        found.append(block)
    return found


def split_includes(text):
    """A block without a main function: its #include lines, then the rest as
    the body of main."""
    includes = [l for l in text.split("\n") if l.startswith("#include")]
    body = [l for l in text.split("\n") if not l.startswith("#include")]
    return "\n".join(includes) + "\n\nint main() {\n" + "\n".join(body) + "\n}\n"


def compile_command(block, args, source, exe):
    if block.tag == "cpp":
        return [args.cxx, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", args.include,
                str(source), args.library, "-lm", "-pthread", "-o", str(exe)]
    # A C program linked with the C++ library's runtime.
    return [args.cc, "-std=c99", "-Wall", "-Wextra", "-Werror", "-I", args.include, str(source),
            args.library, "-lstdc++", "-lm", "-pthread", "-o", str(exe)]


def missing_programs(block, programs):
    """Project commands a shell block calls that this build did not make."""
    if block.tag != "sh":
        return []
    return sorted({m.group(1) for m in PROJECT_COMMAND.finditer(block.text)} - set(programs))


def run_block(block, args, programs, env):
    """Runs one block; returns None when it ran as shown, else the reason."""
    missing = missing_programs(block, programs)
    if missing:
        return "it calls %s, which this build did not make" % ", ".join(missing)
    if block.tag == "python" and re.search(r"^\s*(import|from)\s+vallisynth\b", block.text,
                                           re.M) and not args.pythonpath:
        return "it imports vallisynth, and this build made no Python package (VALLISYNTH_PYTHON)"
    with tempfile.TemporaryDirectory(prefix="docblock-") as work:
        work = pathlib.Path(work)
        os.symlink(args.examples, work / "examples")
        if block.tag == "sh":
            command = ["bash", "-e", "-o", "pipefail", "-c", block.text]
        elif block.tag == "python":
            (work / "block.py").write_text(block.text)
            command = [sys.executable, "block.py"]
        else:
            text = block.text if re.search(r"\bint\s+main\s*\(", block.text) else \
                split_includes(block.text)
            source = work / ("block." + block.tag)
            source.write_text(text)
            built = subprocess.run(compile_command(block, args, source, work / "block"), cwd=work,
                                   capture_output=True, text=True, timeout=TIMEOUT)
            if built.returncode != 0:
                return "it does not compile:\n" + built.stderr
            command = [str(work / "block")]
        done = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True,
                              timeout=TIMEOUT)
        if done.returncode != 0:
            return "exit status %d\n%s%s" % (done.returncode, done.stdout, done.stderr)
        if block.expected is not None and done.stdout.rstrip() != block.expected.rstrip():
            return "its output differs from the block after it:\n" + done.stdout
    return None


def check_packages(readme, packages):
    """README's install line must list exactly CI's packages."""
    wanted = [l.strip() for l in pathlib.Path(packages).read_text().split("\n")
              if l.strip() and not l.strip().startswith("#")]
    for line in pathlib.Path(readme).read_text().split("\n"):
        m = re.match(r"^\s*sudo apt-get install -y (.*)$", line)
        if m:
            if m.group(1).split() == wanted:
                return None
            return "README's install line %r differs from %s" % (m.group(1), packages)
    return "README has no install line for the packages of %s" % packages


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--examples", required=True)
    parser.add_argument("--include", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--program", action="append", default=[])
    parser.add_argument("--pythonpath", default="")
    parser.add_argument("--cxx", default="c++")
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--packages", default="")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    args.program = [p for p in args.program if p]  # an absent target gives ""

    failures = []
    with tempfile.TemporaryDirectory(prefix="docbin-") as bindir:
        programs = {}
        for exe in args.program:
            name = pathlib.Path(exe).name
            os.symlink(os.path.abspath(exe), os.path.join(bindir, name))
            programs[name] = exe
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
        if args.pythonpath:
            env["PYTHONPATH"] = args.pythonpath + os.pathsep + env.get("PYTHONPATH", "")
        count = 0
        files = []
        for given in args.files:
            if os.path.isdir(given):
                files.append(os.path.join(given, "README.md"))
                files.extend(sorted(str(p) for p in pathlib.Path(given, "docs").glob("*.md")))
            else:
                files.append(given)
        for path in files:
            for block in blocks_of(path):
                if block.tag not in RUNNABLE:
                    continue
                count += 1
                why = run_block(block, args, programs, env)
                print("%s %s" % ("ok  " if why is None else "FAIL", block.where()))
                if why is not None:
                    failures.append("%s: %s" % (block.where(), why))
        readme = [p for p in files if pathlib.Path(p).name == "README.md"]
        if args.packages and readme:
            why = check_packages(readme[0], args.packages)
            if why:
                failures.append(why)
    for failure in failures:
        print("\n" + failure)
    print("\n%d blocks run, %d failures" % (count, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
