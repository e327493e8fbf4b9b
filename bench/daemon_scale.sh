#!/bin/bash
# Start-up time and memory of the daemon with many services, beside a plain
# fork+exec of the same programs measured in the same run. Run by hand:
#   bench/daemon_scale.sh [build-dir] [service-count]
# (defaults: build, 200 services).
#
# Sandboxed runs (own configuration, data and SENTRO_SYSROOT):
#   flat   service-count independent services without health commands (three
#          rounds, alternating with the baseline; medians compared)
#   chain  20 services, each depending on the one before
# For each: the time from "Starting Sentro with profile" to the last
# "Service STARTED successfully" in the daemon's log. For the flat run also
# the daemon's VmRSS and VmLck, and (time - 1 s) / baseline, where the
# baseline forks and execs the same number of programs until all have exec'd.
# The first flat run then pushes its operation metrics: a control request flushes
# the 200 start records into the sandbox's metrics database, the push period
# is shortened to a few seconds (SENTRO_TELEMETRY_PUSH_SECS, honoured only
# under SENTRO_SYSROOT) and a small analytics stand-in on 127.0.0.1:15080
# receives them; memory is read again after the push, which must leave
# neither libcurl nor OpenSSL in the daemon.
# Targets: at 200 services, ratio <= 1.2 and memory < 10 MiB before and after
# the push; at 1,000, ratio <= 1.3 and VmLck <= 12 MiB. The daemon needs
# descriptors beyond one per service: its soft RLIMIT_NOFILE is printed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$here/$build ;; esac
sentro=$build/sentro
sentroctl=$build/sentroctl
[ -x "$sentro" ] || { echo "no daemon at $sentro" >&2; exit 2; }
[ -x "$sentroctl" ] || { echo "no client at $sentroctl" >&2; exit 2; }

flatCount=${2:-200}
chainCount=20
program=/bin/sleep
programArg=100000
pushSeconds=3
rounds=3

root=$(mktemp -d "${TMPDIR:-/tmp}/sentro-scale-XXXXXX")
daemonPid=
analyticsPid=
servicePids=()

# Everything this script started, by PID: the daemon, then what is left of
# the services it started.
cleanup() {
  if [ -n "$daemonPid" ] && kill -0 "$daemonPid" 2>/dev/null; then
    kill -KILL "$daemonPid" 2>/dev/null || true
    wait "$daemonPid" 2>/dev/null || true
  fi
  for pid in "${servicePids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [ -n "$analyticsPid" ]; then
    kill "$analyticsPid" 2>/dev/null || true
    wait "$analyticsPid" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT

# A fresh sandbox under $root/$1 with an empty service directory.
make_sandbox() {
  local box=$root/$1
  mkdir -p "$box/cfg/svcCfgfiles" "$box/cfg/muxServerInstanceCfgfiles" "$box/data/.svcStats" \
    "$box/work" "$box/sysroot/proc/sys/kernel" "$box/sysroot/var/core" \
    "$box/sysroot/var/log/norvane" "$box/sysroot/usr/bin"
  echo core >"$box/sysroot/proc/sys/kernel/core_pattern"
  echo '{"EnableLivenessCheck": false, "LogLevel": 5}' >"$box/cfg/config.json"
  echo '{}' >"$box/cfg/profiles.json"
}

# write_service BOX NAME DEPENDENCY-or-empty
write_service() {
  local depends=""
  [ -n "$3" ] && depends=", \"DependsOn\": [\"$3\"]"
  printf '{"Name": "%s", "StartupType": "AUTOMATIC", "StartCommand": "%s",\n "StartCommandArgs": ["%s"]%s}\n' \
    "$2" "$program" "$programArg" "$depends" >"$root/$1/cfg/svcCfgfiles/$2.json"
}

start_daemon() {
  local box=$root/$1
  (cd "$box/work" && exec env SENTRO_SYSROOT="$box/sysroot" SENTRO_TELEMETRY_PUSH_SECS=$pushSeconds \
    "$sentro" -c "$box/cfg" -d "$box/data" >"$box/stdout" 2>"$box/stderr") &
  daemonPid=$!
}

# wait_log BOX TEXT COUNT SECONDS: waits until the log of BOX holds COUNT
# lines with TEXT.
wait_log() {
  local log=$root/$1/work/sentro.log found=0
  for _ in $(seq $(($4 * 10))); do
    found=$(grep -cF "$2" "$log" 2>/dev/null || true)
    [ "${found:-0}" -ge "$3" ] && return 0
    kill -0 "$daemonPid" 2>/dev/null || { echo "daemon exited" >&2; return 1; }
    sleep 0.1
  done
  echo "only ${found:-0} of $3 \"$2\" lines in the log after $4 s" >&2
  return 1
}

# A stand-in for the analytics service: answers every POST with 200 and
# keeps "requests rows" received in $root/analytics.count.
start_analytics() {
  python3 "$here/scripts/analytics-stand-in.py" "$root/analytics.count" &
  analyticsPid=$!
}

# The metrics database of BOX, installed as on an appliance.
install_database() {
  "$here/scripts/install-telemetry-db.sh" "$root/$1/sysroot" >/dev/null
}

# "ROWS UNSENT" of the operation metrics table of BOX.
metrics_rows() {
  python3 - "$root/$1/sysroot/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
print(db.execute("SELECT count(*), count(*) - count(nullif(sentToAnalytics, 0)) FROM svcOpMetrics").fetchone()
      .__str__().strip('()').replace(',', ''))
EOF
}

# Waits until the log of BOX holds COUNT start lines (60 s, or a second per
# five services, at most).
wait_started() {
  local limit=$(($2 / 5))
  wait_log "$1" "Service STARTED successfully" "$2" $((limit > 60 ? limit : 60))
}

# Seconds from the profile start to the last service start, from the log's
# ISO timestamps (first field of each line).
startup_seconds() {
  python3 - "$root/$1/work/sentro.log" <<'EOF'
import sys, datetime
first = last = None
def stamp(line):
    text = line.split()[0].rstrip('Z')
    return datetime.datetime.fromisoformat(text).timestamp()
for line in open(sys.argv[1], errors='replace'):
    if first is None and 'Starting Sentro with profile' in line:
        first = stamp(line)
    elif 'Service STARTED successfully' in line:
        last = stamp(line)
print('%.3f' % (last - first))
EOF
}

status_kib() {
  awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"
}

# The PIDs of the daemon's children (its services), for the clean-up.
remember_services() {
  local children
  children=$(cat /proc/"$daemonPid"/task/*/children 2>/dev/null || true)
  for pid in $children; do servicePids+=("$pid"); done
}

stop_daemon() {
  kill -TERM "$daemonPid"
  for _ in $(seq 300); do
    kill -0 "$daemonPid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$daemonPid" 2>/dev/null; then
    echo "daemon did not stop in 30 s; killing it" >&2
    kill -KILL "$daemonPid"
  fi
  wait "$daemonPid" 2>/dev/null || true
  daemonPid=
  for pid in "${servicePids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
  done
  servicePids=()
}

# The baseline: fork+exec of the same programs, all at once, until every one
# has exec'd (its close-on-exec pipe end is gone); then they are killed. A
# small C program when a compiler is at hand: a Python parent forks its much
# larger interpreter and would flatter the daemon. Prints "SECONDS HOW".
baseline_seconds() {
  if [ -x "$root/forkexec" ]; then
    echo "$("$root/forkexec" "$1" "$program" "$programArg") C"
    return
  fi
  if command -v cc >/dev/null; then
    cat >"$root/forkexec.c" <<'EOF'
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  int count = atoi(argv[1]);
  pid_t *pids = calloc(count, sizeof *pids);
  int *ends = calloc(count, sizeof *ends);
  char *args[] = {argv[2], argv[3], NULL};
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < count; i++) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return 1;
    pids[i] = fork();
    if (pids[i] == 0) {
      execv(args[0], args);
      _exit(127);
    }
    close(pipeFds[1]);
    ends[i] = pipeFds[0];
  }
  char byte;
  for (int i = 0; i < count; i++)
    while (read(ends[i], &byte, 1) > 0) {
    }
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.3f\n", (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
  for (int i = 0; i < count; i++) {
    kill(pids[i], SIGKILL);
    waitpid(pids[i], NULL, 0);
  }
  return 0;
}
EOF
    cc -O2 -o "$root/forkexec" "$root/forkexec.c"
    echo "$("$root/forkexec" "$1" "$program" "$programArg") C"
    return
  fi
  python3 - "$1" "$program" "$programArg" <<'EOF'
import os, signal, sys, time
count, program, arg = int(sys.argv[1]), sys.argv[2], sys.argv[3]
pids, pipes = [], []
start = time.monotonic()
for _ in range(count):
    r, w = os.pipe2(os.O_CLOEXEC)
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            os.execv(program, [program, arg])
        finally:
            os._exit(127)
    os.close(w)
    pids.append(pid)
    pipes.append(r)
for r in pipes:
    while os.read(r, 1):
        pass
elapsed = time.monotonic() - start
for pid, r in zip(pids, pipes):
    os.close(r)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
print('%.3f python' % elapsed)
EOF
}

# One flat start-up in a fresh sandbox named BOX; prints its seconds and
# leaves the daemon running.
flat_startup() {
  make_sandbox "$1"
  install_database "$1"
  for i in $(seq -w 1 $flatCount); do write_service "$1" "svc$i" ""; done
  start_daemon "$1"
  wait_started "$1" $flatCount
  remember_services
}

# Start-up times vary with what else the machine does: the flat run and the
# baseline alternate, and the medians are compared.
flatTimes=()
baselineTimes=()
start_analytics
for round in $(seq $rounds); do
  echo "== round $round: baseline fork+exec of $flatCount programs"
  read -r seconds baselineHow <<<"$(baseline_seconds $flatCount)"
  baselineTimes+=("$seconds")
  echo "== round $round: flat, $flatCount independent services"
  flat_startup "flat$round"
  flatTimes+=("$(startup_seconds "flat$round")")
  if [ "$round" = 1 ]; then
    rssStarted=$(status_kib "$daemonPid" VmRSS)
    lckStarted=$(status_kib "$daemonPid" VmLck)
    nofile=$(awk '/^Max open files/ { print $4 }' "/proc/$daemonPid/limits")
    sleep 2
    rssIdle=$(status_kib "$daemonPid" VmRSS)
    lckIdle=$(status_kib "$daemonPid" VmLck)
    # Any result reply flushes the finished start records into the database.
    "$sentroctl" --datadir "$root/flat1/data" save-stats >/dev/null
    wait_log flat1 "Service operation metrics sent successfully." 1 $((pushSeconds * 3 + 10))
    sleep 1
    read -r rowsWritten rowsUnsent <<<"$(metrics_rows flat1)"
    read -r pushRequests pushRows <<<"$(cat "$root/analytics.count" 2>/dev/null || echo 0 0)"
    rssPushed=$(status_kib "$daemonPid" VmRSS)
    lckPushed=$(status_kib "$daemonPid" VmLck)
    mappedAfterPush=$(grep -cE 'libcurl|libssl|libcrypto' "/proc/$daemonPid/maps" || true)
  fi
  stop_daemon
done

echo "== chain: $chainCount services, each depending on the previous"
make_sandbox chain
previous=""
for i in $(seq -w 1 $chainCount); do
  write_service chain "link$i" "$previous"
  previous=link$i
done
start_daemon chain
wait_started chain $chainCount
remember_services
chain=$(startup_seconds chain)
stop_daemon

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
flat=$(median "${flatTimes[@]}")
baseline=$(median "${baselineTimes[@]}")

echo
printf 'flat start-up   %8.3f s  (%d services; median of %s)\n' "$flat" $flatCount "${flatTimes[*]}"
printf 'chain start-up  %8.3f s  (%d services)\n' "$chain" $chainCount
printf 'baseline        %8.3f s  (fork+exec of %d programs, %s; median of %s)\n' "$baseline" $flatCount \
  "$baselineHow" "${baselineTimes[*]}"
python3 - "$flat" "$baseline" "$flatCount" <<'EOF'
import sys
flat, baseline, count = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
target = 1.2 if count <= 200 else 1.3
print('ratio (flat - 1 s) / baseline  %.2f  (target <= %.1f); flat / baseline %.2f'
      % ((flat - 1) / baseline, target, flat / baseline))
EOF
printf 'daemon memory after start-up: VmRSS %d KiB (%.1f MiB), VmLck %d KiB\n' \
  "$rssStarted" "$(echo "$rssStarted / 1024" | bc -l)" "$lckStarted"
memoryTarget="< 10 MiB"
[ "$flatCount" -gt 200 ] && memoryTarget="VmLck <= 12 MiB"
printf 'daemon memory 2 s later:      VmRSS %d KiB (%.1f MiB), VmLck %d KiB  (target %s)\n' \
  "$rssIdle" "$(echo "$rssIdle / 1024" | bc -l)" "$lckIdle" "$memoryTarget"
printf 'daemon soft RLIMIT_NOFILE: %s (services: %d)\n' "$nofile" "$flatCount"
printf 'telemetry push: %s rows written, %s still unsent; analytics received %s rows in %s requests\n' \
  "$rowsWritten" "$rowsUnsent" "$pushRows" "$pushRequests"
printf 'daemon memory after the push: VmRSS %d KiB (%.1f MiB), VmLck %d KiB  (target %s)\n' \
  "$rssPushed" "$(echo "$rssPushed / 1024" | bc -l)" "$lckPushed" "$memoryTarget"
printf 'libcurl/libssl/libcrypto mappings in the daemon after the push: %s  (target 0)\n' \
  "$mappedAfterPush"
