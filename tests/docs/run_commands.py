#!/usr/bin/env python3
"""Runs the commands the README and the docs pages show, as a reader would on a fresh clone.

Every fenced block tagged `sh` or `shell` in README.md and docs/*.md is run, except a block
that the line before its fence marks as one a test cannot run (the build itself, root, the
Windows build under Wine), with the reason:

    <!-- not run: the whole build and its tests -->

Each file's blocks run in order in one `bash -e`, from the top of a scratch copy of the source
tree with the finished build as build/default, with a private HOME and TMPDIR and none of the
simulated notebook's variables set. A file passes when its blocks run to the end and leave the
copied tree as it was: a block that writes into the tree (a ready machine changed, a trace left
beside the sources) fails it.

    run_commands.py SOURCE_DIR BINARY_DIR
"""
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

source, binary = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
LIMIT_SECONDS = 120


def blocks(md):
    """(line number, text) of each ```sh and ```shell block not marked as not run."""
    found, kind, lines, start, skip, previous = [], None, [], 0, False, ""
    for number, line in enumerate(md.read_text(encoding="utf-8").splitlines(), 1):
        if kind is None:
            fence = re.match(r"^\s*```(\S*)\s*$", line)
            if fence:
                kind, lines, start = fence.group(1), [], number
                skip = re.match(r"^<!-- not run: \S.* -->$", previous) is not None
            previous = line
        elif re.match(r"^\s*```\s*$", line):
            if kind in ("sh", "shell") and not skip:
                found.append((start, "\n".join(lines)))
            kind, previous = None, ""
        else:
            lines.append(line)
    return found


def snapshot(tree):
    """Every file and link of the copied tree with its mode and content (or target)."""
    files = {}
    for path in sorted(tree.rglob("*")):
        relative = path.relative_to(tree)
        if relative.parts[0] in ("build", "home", "tmp"):
            continue
        st = path.lstat()
        if path.is_symlink():
            files[relative] = ("link", os.readlink(path))
        elif path.is_file():
            files[relative] = (st.st_mode, hashlib.sha256(path.read_bytes()).hexdigest())
        else:
            files[relative] = (st.st_mode, None)
    return files


def changes(before, after):
    return ([f"added {p}" for p in sorted(after.keys() - before.keys())] +
            [f"removed {p}" for p in sorted(before.keys() - after.keys())] +
            [f"changed {p}" for p in sorted(before.keys() & after.keys())
             if before[p] != after[p]])


def run(md, found, scratch):
    script = [f'echo "+++ {md.name}:{line}" >&2\n{text}\n' for line, text in found]
    if not script:
        return None
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("SIMBOOK") and k not in ("XDG_STATE_HOME", "XDG_DATA_HOME")}
    env.update(HOME=str(scratch / "home"), TMPDIR=str(scratch / "tmp"))
    process = subprocess.Popen(["bash", "-e", "-c", "\n".join(script)], cwd=scratch, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=LIMIT_SECONDS)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        status = f"timed out after {LIMIT_SECONDS} s"
    try:
        os.killpg(process.pid, signal.SIGKILL)  # whatever the commands left behind
    except ProcessLookupError:
        pass
    return None if status == 0 else f"{md.relative_to(source)}: {status}\n{output}"


def copy_tree(scratch):
    """The source tree's entries, copied (links kept as links), without .git and build."""
    for entry in source.iterdir():
        if entry.name in (".git", "build"):
            continue
        if entry.is_dir() and not entry.is_symlink():
            shutil.copytree(entry, scratch / entry.name, symlinks=True)
        else:
            shutil.copy2(entry, scratch / entry.name, follow_symlinks=False)


failures = []
for md in [source / "README.md", *sorted((source / "docs").glob("*.md"))]:
    scratch = Path(tempfile.mkdtemp(prefix="doc-commands-"))
    try:
        copy_tree(scratch)
        (scratch / "build").mkdir()
        (scratch / "build" / "default").symlink_to(binary)
        (scratch / "home").mkdir()
        (scratch / "tmp").mkdir()
        found = blocks(md)
        before = snapshot(scratch)
        failure = run(md, found, scratch)
        changed = changes(before, snapshot(scratch))
        if changed:
            failure = (failure or f"{md.relative_to(source)}: ran") + \
                "\nthe blocks changed the source tree:\n  " + "\n  ".join(changed)
        print(f"{md.relative_to(source)}: {len(found)} blocks, "
              f"{'failed' if failure else 'ran'}")
        if failure:
            failures.append(failure)
    finally:
        shutil.rmtree(scratch)
for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
