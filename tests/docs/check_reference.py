#!/usr/bin/env python3
"""The manual pages are the one reference, and the README leads to every page.

Checks that simbook(1) names every subcommand and option `simbook help` lists, that
simbook-machine(5) names every key of the machine-file schema, that every manual page carries
the project's version, that README.md links every page under docs/, and that every relative
link in README.md and docs/*.md leads to a file that exists.

    check_reference.py SIMBOOK SOURCE_DIR VERSION
"""
import json
import re
import subprocess
import sys
from collections import Counter
from pathlib import Path

simbook, source, version = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
man = source / "docs" / "man"
problems = []


def page_text(name):
    """The page's words as a reader sees them: font escapes gone, \\- a plain minus."""
    text = (man / name).read_text(encoding="utf-8")
    text = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", text)
    return text.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")


def help_text(*topic):
    return subprocess.run([simbook, "help", *topic], capture_output=True, text=True,
                          check=True).stdout


# Subcommands from the overview's command column, then each one's options.
overview = help_text()
commands = re.findall(r"^  ([a-z]+) ", overview, re.MULTILINE)
words = set(commands) | set(re.findall(r"--[a-z][a-z-]*", overview))
for command in commands:
    words |= set(re.findall(r"--[a-z][a-z-]*", help_text(command)))
simbook_page = page_text("simbook.1")
for word in sorted(words):
    if not re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", simbook_page):
        problems.append(f"simbook.1 does not mention `{word}` (from simbook help)")

# Every key of the schema, arrays as [N], as the machine page writes them.
schema = json.loads((source / "docs" / "machine.schema.json").read_text(encoding="utf-8"))


def keys(node, path):
    while "$ref" in node:
        node = schema["$defs"][node["$ref"].rsplit("/", 1)[-1]]
    for name, child in node.get("properties", {}).items():
        yield from keys(child, f"{path}.{name}" if path else name)
    if isinstance(node.get("items"), dict):
        yield from keys(node["items"], path + "[N]")
    if path and "properties" not in node and not path.endswith("]"):
        yield path


machine_page = page_text("simbook-machine.5")
for key in sorted(set(keys(schema, ""))):
    if key not in machine_page:
        problems.append(f"simbook-machine.5 does not mention the key {key}")

for page in sorted(man.iterdir()):
    th = re.search(r'^\.TH .*"notebook-wlan-tools ([^"]*)"', page.read_text(encoding="utf-8"),
                   re.MULTILINE)
    if not th or th.group(1) != version:
        problems.append(f"{page.name}: .TH does not carry notebook-wlan-tools {version}")

# Quotes survive roff: a macro argument that begins with `"` loses its quotes, so each quoted
# JSON key ("op":, "status":) a page's source shows must be as often in the page as rendered.
def rendered(page):
    return subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou", "-rLL=200n", str(page)],
                          capture_output=True, text=True, check=True).stdout


for page in sorted(man.iterdir()):
    quoted = re.compile(r'"[A-Za-z_][A-Za-z0-9_]*":')
    shown = Counter(quoted.findall(page_text(page.name)))
    kept = Counter(quoted.findall(rendered(page)))
    for key, count in sorted((shown - kept).items()):
        problems.append(f"{page.name}: {key} loses its quotes in {count} of its places "
                        "when rendered (write \\(dq, or begin the argument with \\&)")

# Links: README.md leads to every docs page; no relative link is dangling.
readme = (source / "README.md").read_text(encoding="utf-8")
for doc in sorted((source / "docs").glob("*.md")):
    if f"(docs/{doc.name}" not in readme:
        problems.append(f"README.md does not link docs/{doc.name}")
for md in [source / "README.md", *sorted((source / "docs").glob("*.md"))]:
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", md.read_text(encoding="utf-8")):
        if "://" not in target and not target.startswith("mailto:"):
            if not (md.parent / target).exists():
                problems.append(f"{md.relative_to(source)}: link to {target} leads nowhere")

for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
