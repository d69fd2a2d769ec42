#!/usr/bin/env bash
# Prints the README's "File types" table from the scanner's own list (`quarvelin-cli types --json`),
# so the README says what the scanner does.
#   tools/types-table.sh [PATH-TO-quarvelin-cli]   (default: $QUARVELIN_CLI, else build/native/bin/quarvelin-cli)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-${QUARVELIN_CLI:-build/native/bin/quarvelin-cli}}
"$cli" types --json | python3 -c '
import json, sys

def spelt(hex_text):
    # Header bytes as text where they are printable, else in hex.
    raw = bytes.fromhex(hex_text)
    if all(0x20 < b < 0x7F and b != 0x60 and b != 0x7C for b in raw):
        return "`" + raw.decode("ascii") + "`"
    return "`" + " ".join("%02X" % b for b in raw) + "`"

print("| Extension | Type | Folder | Found by |")
print("|---|---|---|---|")
for t in json.load(sys.stdin):
    found = [spelt(h) for h in t.get("headers", [])]
    found += [spelt(h) + " (any case)" for h in t.get("headersIgnoringCase", [])]
    if t.get("atSectorStarts"):
        found.append("a test of its own at sector starts")
    note = " (only when selected)" if t.get("onlyWhenSelected") else ""
    print("| `%s` | %s%s | %s | %s |" % (t["extension"], t["name"], note, t["category"],
                                        ", ".join(found)))
'
