#!/bin/sh
# Runs every fuzz target of a build tree for the given number of seconds each,
# starting from the seed corpus in tests/fuzz/corpus/<target>/.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 <build-dir> <seconds>" >&2; exit 2; }
build=$1 seconds=$2
here=$(cd "$(dirname "$0")" && pwd)

status=0
for source in "$here"/*_fuzz.cc; do
  target=$(basename "$source" .cc)
  binary=$(find "$build" -type f -name "$target" -perm -u+x | head -n 1)
  [ -n "$binary" ] || { echo "$target: not built in $build" >&2; status=1; continue; }
  # New inputs go to a scratch corpus so the seeds in the tree stay as they are.
  work=$(mktemp -d "${TMPDIR:-/tmp}/sentro-fuzz-$target-XXXXXX")
  seeds=$here/corpus/$target
  [ -d "$seeds" ] || seeds=
  echo "== $target for ${seconds}s"
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/" "$work" ${seeds:+"$seeds"}; then
    rm -rf "$work"
  else
    echo "$target: FAILED, artifacts in $work" >&2
    status=1
  fi
done
exit $status
