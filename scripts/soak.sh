#!/bin/bash
# Runs a package many times, two at a time, and interrupts a random third of
# the runs with SIGTERM or SIGINT at a random moment. Afterwards no extraction
# directory and no process of the runs may be left, and every exit status must
# be one the launcher documents:
#   0     the program's own status
#   2     the launcher's failure (an interrupted extraction)
#   130   SIGINT / 143 SIGTERM ended the launcher before its handler was in place
#   137   the program outlived the grace period and was killed
#   scripts/soak.sh [RUNS] [BUILD_DIR]
set -u
runs=${1:-500}
build=${2:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR" "$work/app/data"

# The program sleeps as long as its argument says; some files make the
# extraction take a moment, so that signals land in every phase.
printf '#!/bin/sh\nsleep "${1:-0}"\n' > "$work/app/run"
chmod 755 "$work/app/run"
for i in $(seq 300); do printf 'file %d\n' "$i" > "$work/app/data/$i.txt"; done
package=$work/soak-package
"$build/vorlix-pack" create -q --level 3 -o "$package" "$work/app" || exit 1

results=$work/results
one_run() {
  "$package" "0.$((RANDOM % 3))" > /dev/null 2>&1 &
  local pid=$!
  if ((RANDOM % 3 == 0)); then
    sleep "$(printf '0.%03d' $((RANDOM % 250)))"
    if ((RANDOM % 2)); then kill -TERM "$pid" 2> /dev/null; else kill -INT "$pid" 2> /dev/null; fi
    echo interrupted >> "$results.signals"
  fi
  wait "$pid"
  echo $? >> "$results"
}

start=$(date +%s)
for ((i = 0; i < runs; i++)); do
  one_run &
  while (($(jobs -rp | wc -l) >= 2)); do wait -n; done
done
wait
elapsed=$(($(date +%s) - start))

failures=0
leftover=$(ls -A "$TMPDIR")
if [ -n "$leftover" ]; then
  echo "left behind in TMPDIR: $leftover"
  failures=1
fi
if pgrep -f "$package" > /dev/null; then
  echo "processes left: $(pgrep -af "$package")"
  failures=1
fi
completed=$(wc -l < "$results")
if [ "$completed" -ne "$runs" ]; then
  echo "only $completed of $runs runs reported a status"
  failures=1
fi
unexpected=$(grep -vxE '0|2|130|137|143' "$results" | sort | uniq -c)
if [ -n "$unexpected" ]; then
  echo "undocumented exit statuses: $unexpected"
  failures=1
fi
echo "soak: $runs runs in ${elapsed}s, $(wc -l < "$results.signals" 2> /dev/null || echo 0) interrupted;" \
  "statuses:" $(sort -n "$results" | uniq -c | awk '{printf "%s x%s, ", $2, $1}')
[ "$failures" -eq 0 ] && echo "soak: ok" || echo "soak: FAILED"
exit "$failures"
