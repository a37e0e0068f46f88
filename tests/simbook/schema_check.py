#!/usr/bin/env python3
"""Keeps docs/machine.schema.json equal to the machine-file reader.

usage: schema_check.py SIMBOOK SCHEMA MACHINES_DIR

The reader is asked through `simbook show --json`, which reads a file exactly as the programs do:
- every key of the reader's full default machine is in the schema with the same default, and
  every schema property that states a default is a key of the reader;
- the ready machines and further valid files are accepted by both;
- files with a wrong type, an unknown key or a value out of range are refused by both.
"""
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

SIMBOOK, SCHEMA_PATH, MACHINES = sys.argv[1:4]
with open(SCHEMA_PATH, encoding="utf-8") as f:
    SCHEMA = json.load(f)
jsonschema.Draft202012Validator.check_schema(SCHEMA)
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)
failures = []


def resolve(node):
    while "$ref" in node:
        target = SCHEMA
        for part in node["$ref"].lstrip("#/").split("/"):
            target = target[part]
        merged = {k: v for k, v in node.items() if k != "$ref"}
        node = {**target, **merged}
    return node


def reader(text):
    """(accepted, full machine) as the reader sees the file text."""
    with tempfile.TemporaryDirectory(prefix="nwt-schema-") as scratch:
        path = os.path.join(scratch, "machine.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        run = subprocess.run([SIMBOOK, "show", "--json", path], capture_output=True, text=True)
    if run.returncode not in (0, 1):
        failures.append(f"simbook show exited {run.returncode}: {run.stderr}")
    return run.returncode == 0, (json.loads(run.stdout)["machine"] if run.returncode == 0 else None)


def compare_defaults(value, node, path):
    node = resolve(node)
    if isinstance(value, dict) and "properties" in node:
        for key, sub in value.items():
            if key not in node["properties"]:
                failures.append(f"{path}{key}: the reader has it, the schema does not")
                continue
            compare_defaults(sub, node["properties"][key], f"{path}{key}.")
        return
    if "default" not in node:
        failures.append(f"{path.rstrip('.')}: no default in the schema")
    elif node["default"] != value:
        failures.append(f"{path.rstrip('.')}: schema default {node['default']!r}, reader {value!r}")


def schema_defaults_known(node, value, path):
    node = resolve(node)
    for key, sub in node.get("properties", {}).items():
        sub = resolve(sub)
        if "default" in sub and (not isinstance(value, dict) or key not in value):
            failures.append(f"{path}{key}: a default in the schema, no such key in the reader")
        if "properties" in sub and isinstance(value, dict) and key in value:
            schema_defaults_known(sub, value[key], f"{path}{key}.")


accepted, full = reader("{}")
if not accepted:
    sys.exit("the reader refuses an empty machine")
compare_defaults({k: v for k, v in full.items()}, SCHEMA, "")
schema_defaults_known(SCHEMA, full, "")

VALID = [(name, open(os.path.join(MACHINES, name), encoding="utf-8").read())
         for name in sorted(os.listdir(MACHINES)) if name.endswith(".json")]
VALID += [
    ("the full default machine", json.dumps(full)),
    ("$schema named", '{"$schema": "machine.schema.json"}'),
    ("described", json.dumps({"description": "d" * 298 + "é"})),
    ("held by another program", '{"driver": {"held_by_other_program": true}}'),
    ("stray bits above the width", '{"firmware": {"setting58_stray_bits": 4294967292}}'),
    ("every fault set", json.dumps({"driver": {"faults": {
        "probe_error": 50, "phase1_reply_length": 159, "proof": "wrong_order",
        "phase3_reply": "swapped_halves", "capsule_reply_length": 11, "capsule_total_field": 0,
        "capsule_extra_payload": 4096, "capsule_empty_payload": True, "capsule_error": 1117,
        "public_value": "02" * 132}}})),
    ("edges", json.dumps({"ansi_code_page": 65001, "clock": {"performance_counter": -1},
                          "driver": {"interfaces": 16, "driver_version": None},
                          "firmware": {"wlan_flags": 65535, "setting58": 4294967295,
                                       "setting58_width": 32,
                                       "password_state_status": 255, "wlan_item_data": "00AB"},
                          "wlan": {"interfaces": [], "wait_limit_ms": 0}})),
    ("lists of 1 and 64 values, steps at their edges", json.dumps({
        "driver": {"busy_replies": [1000000], "busy_replies_step": 63},
        "wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}",
                                 "scan": ["refuse", "complete"] * 32, "scan_step": 0}]}})),
    ("networks", json.dumps({"wlan": {"interfaces": [{
        "guid": "{C799C725-24B9-464B-B6C7-5E300DCE17D6}", "scan": "silent",
        "networks": ["x" * 32, {"hex": "00" * 32}, {"hex": ""}]}]}})),
]
INVALID = [
    ("unknown top-level key", '{"drivers": {}}'),
    ("unknown fault", '{"driver": {"faults": {"probe": 1}}}'),
    ("wrong type", '{"driver": {"present": 1}}'),
    ("text for a number", '{"firmware": {"setting58": "3"}}'),
    ("code page out of the set", '{"ansi_code_page": 437}'),
    ("interfaces above 16", '{"driver": {"interfaces": 17}}'),
    ("negative count", '{"driver": {"busy_replies": -1}}'),
    ("word out of range", '{"firmware": {"wlan_flags": 65536}}'),
    ("dword out of range", '{"driver": {"faults": {"capsule_error": 4294967296}}}'),
    ("short key", '{"driver": {"auth_key": "f2ae"}}'),
    ("odd hex", '{"firmware": {"wlan_item_data": "abc"}}'),
    ("seven clock fields", '{"clock": {"system_time": [1, 2, 3, 4, 5, 6, 7]}}'),
    ("unknown scan", '{"wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}", '
                     '"scan": "maybe"}]}}'),
    ("interface without guid", '{"wlan": {"interfaces": [{"scan": "fail"}]}}'),
    ("unbraced guid", '{"wlan": {"interfaces": [{"guid": "c799c725-24b9-464b-b6c7-5e300dce17d6"}]}}'),
    ("SSID of 33 bytes", '{"wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}",'
                         ' "networks": ["' + "x" * 33 + '"]}]}}'),
    ("public value of 133 bytes", '{"driver": {"faults": {"public_value": "' + "01" * 133 + '"}}}'),
    ("empty public value", '{"driver": {"faults": {"public_value": ""}}}'),
    ("proof by another name", '{"driver": {"faults": {"proof": "bad"}}}'),
    ("not an object", '[]'),
    ("$schema not text", '{"$schema": 1}'),
    ("description not text", '{"description": ["healthy"]}'),
    ("description of two lines", '{"description": "one\\ntwo"}'),
    ("description with a C1 control", '{"description": "csi \\u009b"}'),
    ("description of 301 bytes", json.dumps({"description": "d" * 301})),
    ("held by a number", '{"driver": {"held_by_other_program": 1}}'),
    ("empty list", '{"driver": {"busy_replies": []}}'),
    ("list of 65 values", json.dumps({"driver": {"busy_replies": [0] * 65}})),
    ("bad value in a list", '{"wlan": {"interfaces": [{"guid": "{c799c725-24b9-464b-b6c7-5e300dce17d6}", '
                            '"scan": ["refuse", "maybe"]}]}}'),
    ("negative step", '{"driver": {"busy_replies": [1, 0], "busy_replies_step": -1}}'),
    ("step above 63", '{"driver": {"busy_replies": [1, 0], "busy_replies_step": 64}}'),
    ("step not a number", '{"driver": {"busy_replies": [1, 0], "busy_replies_step": "1"}}'),
]

for name, text in VALID:
    errors = [e.message for e in VALIDATOR.iter_errors(json.loads(text))]
    if errors:
        failures.append(f"valid '{name}': the schema refuses it: {errors[0]}")
    if not reader(text)[0]:
        failures.append(f"valid '{name}': the reader refuses it")
for name, text in INVALID:
    if VALIDATOR.is_valid(json.loads(text)):
        failures.append(f"invalid '{name}': the schema accepts it")
    if reader(text)[0]:
        failures.append(f"invalid '{name}': the reader accepts it")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
