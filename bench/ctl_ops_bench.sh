#!/bin/bash
# What the operator's client costs, measured in one run. Run by hand:
#   bench/ctl_ops_bench.sh [build-dir] [definition-count]
# (defaults: build, 1000).
#
# status  a sandboxed daemon (own configuration, data and SENTRO_SYSROOT) runs
#         one service; "sentroctl status one" and /bin/true are spawned in
#         turn, 2,000 times each, and each spawn is timed on its own; the
#         medians are printed with their ratio (target: <= 1.2), and the means
#         beside them. Spawning them in turn rather than in rounds matters on
#         a virtual machine whose speed drifts by a third within seconds: a
#         round of one then a round of the other measures the drift as much
#         as the programs.
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

# mean of the numbers on standard input
mean() { awk '{ s += $1 } END { printf "%.1f\n", s / NR }'; }

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
for ((i = 0; i < 2000; i++)); do
  # Which of the two goes first alternates, so neither always follows the
  # other. Nothing in the loop forks but the two programs: a command
  # substitution would leave bash's memory to copy on write in the next
  # timed spawn.
  for program in $((i % 2)) $(((i + 1) % 2)); do
    if [ "$program" = 0 ]; then
      start=$EPOCHREALTIME
      "$sentroctl" --datadir "$data" status one >/dev/null
      end=$EPOCHREALTIME
      status_times+=($((${end/./} - ${start/./})))
    else
      start=$EPOCHREALTIME
      /bin/true >/dev/null
      end=$EPOCHREALTIME
      true_times+=($((${end/./} - ${start/./})))
    fi
  done
done
status_us=$(printf '%s\n' "${status_times[@]}" | median)
true_us=$(printf '%s\n' "${true_times[@]}" | median)
printf 'status one      %8.1f us per spawn (median of 2000; mean %.1f)\n' "$status_us" \
  "$(printf '%s\n' "${status_times[@]}" | mean)"
printf '/bin/true       %8.1f us per spawn (median of 2000; mean %.1f)\n' "$true_us" \
  "$(printf '%s\n' "${true_times[@]}" | mean)"
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
for _ in 1 2 3 4 5; do
  start=$EPOCHREALTIME
  "$sentroctl" check-config -c "$big" --datadir "$work/bigdata" > "$work/check.out"
  check_times+=("$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }')")
done
printf 'check-config    %8.1f ms over %d definitions (median of 5): %s\n' \
  "$(printf '%s\n' "${check_times[@]}" | median)" "$count" "$(tail -1 "$work/check.out")"
