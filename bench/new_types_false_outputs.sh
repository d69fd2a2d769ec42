#!/usr/bin/env bash
# Do the types added in December 2026 (HEIC, RAW, Office 97, gzip, SQLite and the rest) make files out
# of nothing? Scans two disks with every type selected (and `txt` too, which is carved only when asked
# for) and counts the files that come out of each type:
#   1. 256 MiB of random bytes (a fixed seed): nothing should come out at all;
#   2. a 256 MiB used drive holding only the types the scan carved before (a FAT32 volume filled with
#      copies of their sample files, about half deleted, then a raw area): no file of a new type
#      should come out (text excepted, see below), and the old types should come back as before.
#   bench/new_types_false_outputs.sh [CLI]   (or QUARVELIN_CLI; default build/release/bin/quarvelin-cli)
# Exit status 0 when neither disk gives a file of a new type other than text, 1 otherwise.
# Text files found on the second disk are counted apart: a selected `txt` carves whatever text lies
# at a sector start that no other file covers (an XML body, say), which is what it is asked to do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-${QUARVELIN_CLI:-$root/build/release/bin/quarvelin-cli}}
if [[ ! -x $cli && -z ${1:-} && -z ${QUARVELIN_CLI:-} ]]; then
  "$root/tools/install-deps.sh" native
  cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/release" --target quarvelin-cli -j 2 >/dev/null
fi
for p in dosfstools mtools; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || {
    sudo=()
    (($(id -u) == 0)) || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p"
  }
done

# The types the scan carved before the additions.
old_types=jpg,png,gif,bmp,tif,webp,avi,wav,ico,svg,html,xml,psd,psb,mp4,mov,3gp,m4v,mkv,webm,wmv,flv,mp3,flac,ogg,pdf,docx,zip,rtf,rar,7z
all_types=$("$cli" types --json | python3 -c 'import json,sys; print(",".join(t["extension"] for t in json.load(sys.stdin)))')

work=$(mktemp -d "${TMPDIR:-/tmp}/new_types.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Prints the files a scan wrote, per extension, and returns how many are of a new type (text apart).
count() { # label outdir
  python3 - "$1" "$2" "$old_types" <<'EOF'
import collections, os, sys
label, out, old = sys.argv[1], sys.argv[2], set(sys.argv[3].split(","))
found = collections.Counter()
for folder, _, names in os.walk(out):
    for name in names:
        if name.startswith("rec_") and "." in name:
            found[name.rsplit(".", 1)[1]] += 1
new = {e: n for e, n in found.items() if e not in old and e != "txt"}
print(f"{label}: {sum(found.values())} files; old types {sum(n for e, n in found.items() if e in old)}, "
      f"new types {sum(new.values())}, text {found['txt']}")
for e, n in sorted(found.items()):
    print(f"  {e:6} {n}")
sys.exit(1 if new else 0)
EOF
}

status=0
echo "Random bytes (256 MiB) ..."
python3 -c '
import random, sys
r = random.Random(20261207)
with open(sys.argv[1], "wb") as f:
    for _ in range(256):
        f.write(r.randbytes(1 << 20))' "$work/random.img"
"$cli" scan --types "$all_types" "$work/random.img" "$work/random.out" >/dev/null 2>"$work/random.err"
count "random bytes" "$work/random.out" || status=1
rm -f "$work/random.img"

echo "A used drive holding only the old types (256 MiB) ..."
python3 "$root/tools/sample_disk.py" --out "$work/old.img" --manifest "$work/old.json" --seed 20240611 \
  --fat-mib 128 --fat32 --fat-fill 0.8 --raw-mib 128 --types "$old_types" >/dev/null
"$cli" scan --types "$all_types" "$work/old.img" "$work/old.out" >/dev/null 2>"$work/old.err"
count "old types only" "$work/old.out" || status=1
python3 "$root/tools/check_recovery.py" "$work/old.out" "$work/old.json" --cli "$cli" | tail -n 6

if ((status == 0)); then echo "No file of a new type came out of either disk."; else echo "New types made false files."; fi
exit $status
