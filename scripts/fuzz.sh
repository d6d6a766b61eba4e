#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer and runs each for a while:
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (default: 60 s, both targets)
# The corpus grows in build-fuzz/corpus/TARGET; crashing inputs land in
# build-fuzz/artifacts/TARGET. Copy a finding into fuzz/regressions
# so that the test suite replays it. The targets give up root when they start,
# so their directories are made writable for nobody.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-payload_fuzz package_fuzz}
sh scripts/deps.sh --extra clang libclang-rt-14-dev

build=build-fuzz
test -f $build/build.ninja || cmake -S . -B $build -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DVORLIX_FUZZ=ON -DVORLIX_SANITIZE=ON -DBUILD_TESTING=OFF
cmake --build $build --target $targets fuzz_seeds

$build/fuzz_seeds $build/seeds
pids=""
for target in $targets; do
  mkdir -p $build/corpus/$target $build/artifacts/$target
  cp $build/seeds/* fuzz/regressions/* $build/corpus/$target/
  chmod -R a+rwX $build/corpus $build/artifacts
  $build/$target $build/corpus/$target -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
    -artifact_prefix=$build/artifacts/$target/ -print_final_stats=1 \
    > $build/$target.log 2>&1 &
  pids="$pids $!"
done
status=0
for pid in $pids; do wait "$pid" || status=1; done
for target in $targets; do
  echo "== $target"
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)|ERROR|SUMMARY' $build/$target.log || true
  ls $build/artifacts/$target
done
exit $status
