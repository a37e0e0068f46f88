#!/usr/bin/env python3
"""Runs the commands the README and the docs pages show, as a reader would on a fresh clone.

Every fenced block tagged `sh` in README.md and docs/*.md is run; blocks tagged otherwise
(`shell` for commands that cannot run here: the build itself, root, Wine, long jobs) are only
shown. Each file's blocks run in order in one `bash -e`, from the top of a scratch tree that
holds the source's entries as links and the finished build as build/default, with a private
HOME and TMPDIR and none of the simulated notebook's variables set. A file passes when its
blocks run to the end.

    run_commands.py SOURCE_DIR BINARY_DIR
"""
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
    """(line number, text) of each ```sh block."""
    found, kind, lines, start = [], None, [], 0
    for number, line in enumerate(md.read_text(encoding="utf-8").splitlines(), 1):
        if kind is None:
            fence = re.match(r"^\s*```(\S*)\s*$", line)
            if fence:
                kind, lines, start = fence.group(1), [], number
        elif re.match(r"^\s*```\s*$", line):
            if kind == "sh":
                found.append((start, "\n".join(lines)))
            kind = None
        else:
            lines.append(line)
    return found


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


failures = []
for md in [source / "README.md", *sorted((source / "docs").glob("*.md"))]:
    scratch = Path(tempfile.mkdtemp(prefix="doc-commands-"))
    try:
        for entry in source.iterdir():
            if entry.name not in (".git", "build"):
                (scratch / entry.name).symlink_to(entry)
        (scratch / "build").mkdir()
        (scratch / "build" / "default").symlink_to(binary)
        (scratch / "home").mkdir()
        (scratch / "tmp").mkdir()
        found = blocks(md)
        failure = run(md, found, scratch)
        print(f"{md.relative_to(source)}: {len(found)} blocks, "
              f"{'failed' if failure else 'ran'}")
        if failure:
            failures.append(failure)
    finally:
        shutil.rmtree(scratch)
for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
