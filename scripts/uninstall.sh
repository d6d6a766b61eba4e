#!/bin/sh
# Removes what `cmake --install BUILD_DIR --prefix PREFIX` put below PREFIX,
# as its install manifest lists it, and then the directories that leaves
# empty (PREFIX itself stays).
#   sh scripts/uninstall.sh BUILD_DIR PREFIX
set -eu
build=$1
prefix=$(cd "$2" && pwd)
manifest=$build/install_manifest.txt
if [ ! -f "$manifest" ]; then
  echo "uninstall: nothing installed from $build (no install_manifest.txt)" >&2
  exit 1
fi
while IFS= read -r file || [ -n "$file" ]; do
  case "$file" in
    "$prefix"/*) ;;
    *) continue ;;  # installed under another prefix
  esac
  rm -f "$file"
  directory=$(dirname "$file")
  while [ "$directory" != "$prefix" ] && rmdir "$directory" 2> /dev/null; do
    directory=$(dirname "$directory")
  done
done < "$manifest"
