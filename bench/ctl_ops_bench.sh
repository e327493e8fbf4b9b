#!/bin/bash
# What the operator's client costs, measured in one run. Run by hand:
#   bench/ctl_ops_bench.sh [build-dir] [definition-count]
# (defaults: build, 1000).
#
# status  a sandboxed daemon (own configuration, data and SENTRO_SYSROOT) runs
#         one service; "sentroctl status one" and /bin/true are each spawned
#         300 times a round, rounds alternating, seven rounds; the medians of
#         the per-spawn times are printed with their ratio (target: <= 1.2).
# check   "sentroctl check-config" over definition-count generated service
#         definitions, each depending on the one before, each with an
#         executable start and health command; the median of five runs
#         (target: well under a second at 1,000).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$here/$build ;; esac
count=${2:-1000}
sentro=$build/sentro
sentroctl=$build/sentroctl
for program in "$sentro" "$sentroctl"; do
  [ -x "$program" ] || { echo "ctl_ops_bench: build $program first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/sentro-ctl-bench.XXXXXX)
daemon=
cleanup() {
  if [ -n "$daemon" ]; then
    kill -TERM "$daemon" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$daemon" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# median of the numbers on standard input
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# per_spawn_us N COMMAND...: microseconds per spawn of N runs of COMMAND
per_spawn_us() {
  local n=$1 i start
  shift
  start=$EPOCHREALTIME
  for ((i = 0; i < n; i++)); do "$@" >/dev/null; done
  awk -v a="$start" -v b="$EPOCHREALTIME" -v n="$n" 'BEGIN { printf "%.1f\n", (b - a) * 1e6 / n }'
}

# ---- status against /bin/true ----------------------------------------------
cfg=$work/cfg data=$work/data
mkdir -p "$cfg/svcCfgfiles" "$cfg/muxServerInstanceCfgfiles" "$data/.svcStats" \
  "$work/sysroot/proc/sys/kernel" "$work/sysroot/var/core" "$work/sysroot/usr/bin"
echo core > "$work/sysroot/proc/sys/kernel/core_pattern"
echo '{}' > "$cfg/config.json"
echo '{}' > "$cfg/profiles.json"
echo '{"Name": "one", "StartCommand": "/bin/sleep", "StartCommandArgs": ["3600"]}' \
  > "$cfg/svcCfgfiles/one.json"
(cd "$work" && SENTRO_SYSROOT=$work/sysroot exec "$sentro" -c "$cfg" -d "$data" >/dev/null 2>&1) &
daemon=$!
for _ in $(seq 100); do
  "$sentroctl" --datadir "$data" status one 2>/dev/null | grep -q STARTED && break
  sleep 0.1
done
"$sentroctl" --datadir "$data" status one | grep -q STARTED || { echo "daemon did not start" >&2; exit 1; }

status_times=() true_times=()
for round in 1 2 3 4 5 6 7; do
  status_times+=("$(per_spawn_us 300 "$sentroctl" --datadir "$data" status one)")
  true_times+=("$(per_spawn_us 300 /bin/true)")
done
status_us=$(printf '%s\n' "${status_times[@]}" | median)
true_us=$(printf '%s\n' "${true_times[@]}" | median)
printf 'status one      %8.1f us per spawn (median of 7 rounds of 300)\n' "$status_us"
printf '/bin/true       %8.1f us per spawn\n' "$true_us"
awk -v s="$status_us" -v t="$true_us" 'BEGIN { printf "ratio           %8.2f (target <= 1.2)\n", s / t }'

# ---- check-config over many definitions ------------------------------------
big=$work/big
mkdir -p "$big/svcCfgfiles" "$big/muxServerInstanceCfgfiles" "$work/bigdata/.svcStats"
echo '{}' > "$big/config.json"
echo '{"CORE": ["svc1", "svc2"]}' > "$big/profiles.json"
for ((i = 1; i <= count; i++)); do
  deps=""
  [ "$i" -gt 1 ] && deps="\"svc$((i - 1))\""
  printf '{"Name": "svc%d", "DependsOn": [%s], "StartCommand": "/bin/sleep", "StartCommandArgs": ["3600"], "ApiHealthCommand": "/bin/true", "StartTimeout": 20}\n' \
    "$i" "$deps" > "$big/svcCfgfiles/svc$i.json"
done
check_times=()
for run in 1 2 3 4 5; do
  start=$EPOCHREALTIME
  "$sentroctl" check-config -c "$big" --datadir "$work/bigdata" > "$work/check.out"
  check_times+=("$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }')")
done
printf 'check-config    %8.1f ms over %d definitions (median of 5): %s\n' \
  "$(printf '%s\n' "${check_times[@]}" | median)" "$count" "$(tail -1 "$work/check.out")"
