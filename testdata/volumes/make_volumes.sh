#!/usr/bin/env bash
# Rebuilds every test volume in this folder with the tools that make them for real users, by
# running each make_*_volumes.sh beside this script. Needs root (loop devices and FUSE mounts for
# exFAT and NTFS). The images are kept gzip-compressed (name.img.gz); the build unpacks them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for script in "$here"/make_*_volumes.sh; do
  echo "== $(basename "$script")"
  bash "$script"
done
