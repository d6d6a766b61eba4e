#!/bin/sh
# Configures and builds every target in the given CMake build types (default:
# all four) with GCC and with clang, warnings as errors, each in
# build-types/<compiler>-<type>. Build only; `make check` runs the suite.
#   sh scripts/build-types.sh [TYPE...]
set -eu
cd "$(dirname "$0")/.."
types=${*:-Release RelWithDebInfo Debug MinSizeRel}
sh scripts/deps.sh --extra clang
for compiler in gcc clang; do
  case $compiler in
    gcc) cc=gcc cxx=g++ ;;
    clang) cc=clang cxx=clang++ ;;
  esac
  for type in $types; do
    dir=build-types/$compiler-$type
    echo "== $compiler $type"
    test -f "$dir/build.ninja" || CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
      -DVORLIX_WERROR=ON > /dev/null
    cmake --build "$dir"
  done
done
echo "== built: $types, with gcc and clang"
