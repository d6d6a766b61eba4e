#!/bin/sh
# Packs demo/app with the freshly built tools and runs the package.
set -eu
build=${1:-build}
out="$build/demo"
mkdir -p "$out"

echo "== vorlix-pack create -o $out/hello demo/app"
"$build/vorlix-pack" create -o "$out/hello" demo/app
echo
echo "== vorlix-pack list $out/hello"
"$build/vorlix-pack" list "$out/hello"
echo
echo "== vorlix-pack verify $out/hello"
"$build/vorlix-pack" verify "$out/hello"
echo
echo "== $out/hello 'first argument' --second"
status=0
"$out/hello" 'first argument' --second | tee "$out/hello.log" || status=$?
echo
extracted=$(sed -n 's/^  running from: *//p' "$out/hello.log")
if [ -e "$extracted" ]; then
  echo "== the package exited with $status but left $extracted behind" >&2
  exit 1
fi
echo "== the package exited with $status; $extracted is gone again"
