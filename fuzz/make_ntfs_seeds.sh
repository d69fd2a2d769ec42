#!/usr/bin/env bash
# Cuts the NTFS fuzz seeds from the test volumes: each is the start of a real volume (boot sector,
# then the MFT, which mkntfs puts near the start of a small volume), with the boot sector's sector
# count cut to match so the reader sees a whole, small volume.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
volumes=$here/../testdata/volumes
out=$here/corpus/ntfs
mkdir -p "$out"

# seed IMAGE BYTES NAME [TEAR]: the first BYTES of IMAGE; TEAR tears the MFT's first record so the
# reader must fall back to its mirror.
seed() {
  python3 - "$volumes/$1.img.gz" "$2" "${3:-}" >"$out/$1${3:+_$3}" <<'PY'
import gzip, struct, sys
data = bytearray(gzip.open(sys.argv[1]).read(int(sys.argv[2])))
sector = struct.unpack_from('<H', data, 0x0B)[0]
struct.pack_into('<Q', data, 0x28, len(data) // sector - 1)
if sys.argv[3] == 'tear':
    cluster = sector * data[0x0D]
    mft = struct.unpack_from('<Q', data, 0x30)[0] * cluster
    data[mft + 510] ^= 0xFF
sys.stdout.buffer.write(data)
PY
}

seed ntfs_512 $((640 * 1024))
seed ntfs_512 $((640 * 1024)) tear
seed ntfs_4k $((768 * 1024))
ls -l "$out"
