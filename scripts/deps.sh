#!/bin/sh
# Makes sure every Debian package the build and the tests need is installed.
# As root it installs what is missing; otherwise it prints the one apt line to
# run and fails.
set -eu

packages="g++ make cmake ninja-build libzstd-dev libxxhash-dev libgtest-dev man-db groff-base zsh"
if [ "${1:-}" = "--extra" ]; then
  shift
  packages="$packages $*"
fi

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages; run: apt-get install -y$missing" >&2
  exit 1
fi
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing >/dev/null
