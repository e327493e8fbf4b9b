#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it on this
# machine:
#   1. its file list, control fields and conffiles;
#   2. lintian (no errors, no warnings that are not overridden);
#   3. the unit file, with systemd-analyze verify where it exists;
#   4. unpacked into a temporary root (dpkg-deb -x), the daemon runs there as
#      the unit's ExecStart runs it, sandboxed (SENTRO_SYSROOT, configuration
#      and data in a temporary directory), on the packaged example appliance,
#      until the unpacked sentroctl reports the api service (which depends on
#      database, cache and messagebus) STARTED; then the unit's ExecStop stops
#      it, and the services must stop in stop order and their reported
#      start-up phases must have reached the metrics database; meanwhile
#      the daemon pushes its start records through the push helper it finds
#      in its libexec directory, to a stand-in for the analytics service.
#   scripts/check-package.sh [PACKAGE.deb]
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-package: $*" >&2
  exit 1
}

deb=${1:-$(bash scripts/build-package.sh)}
[ -f "$deb" ] || fail "no package $deb"
echo "check-package: $deb"

work=$(mktemp -d /tmp/sentro-check-package.XXXXXX)
daemon=""
analytics=""
cleanup() {
  if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
    kill -KILL "$daemon" 2>/dev/null || true
  fi
  [ -z "$analytics" ] || kill "$analytics" 2>/dev/null || true
  if [ -n "${KEEP_WORK:-}" ]; then
    echo "check-package: kept $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# 1. Contents.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' > "$work/files"
for path in /usr/sbin/sentro /usr/bin/sentroctl /usr/libexec/sentro/sentro-telemetry-push \
  /usr/share/sentro/share/telemetry-schema.sql /usr/share/sentro/scripts/install-telemetry-db.sh \
  /etc/norvane/norvane-sentro/config.json /etc/norvane/norvane-sentro/profiles.json \
  /etc/norvane/norvane-sentro/svcCfgfiles/ /etc/norvane/norvane-sentro/muxServerInstanceCfgfiles/ \
  /etc/default/sentro /lib/systemd/system/sentro.service /usr/lib/sysusers.d/sentro.conf \
  /usr/lib/tmpfiles.d/sentro.conf /usr/share/bash-completion/completions/sentroctl \
  /usr/share/man/man8/sentro.8.gz /usr/share/man/man5/sentro.5.gz /usr/share/man/man1/sentroctl.1.gz \
  /usr/share/doc/sentro/copyright /usr/share/doc/sentro/changelog.gz \
  /usr/share/doc/sentro/configuration.md /usr/share/doc/sentro/html/operations.html \
  /usr/share/doc/sentro/examples/config.json /usr/share/doc/sentro/examples/svcCfgfiles/database.json; do
  grep -qxF "$path" "$work/files" || fail "the package lacks $path"
done
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends holds no computed library dependency"
dpkg-deb -f "$deb" Depends | grep -qw 'procps' || fail "Depends lacks procps (the unit's /bin/kill)"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles > "$work/conffiles"
for conffile in /etc/norvane/norvane-sentro/config.json /etc/norvane/norvane-sentro/profiles.json \
  /etc/default/sentro; do
  grep -qxF "$conffile" "$work/conffiles" || fail "$conffile is not a conffile"
done

# 2. lintian.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning --display-info "$deb"
else
  echo "check-package: lintian not installed; skipped" >&2
fi

# 3. The unit file, its daemon and man pages taken from the unpacked tree.
root=$work/root
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/sentro.service
if command -v systemd-analyze >/dev/null; then
  sed "s|/usr/sbin/sentro|$root/usr/sbin/sentro|" "$unit" > "$work/sentro.service"
  MANPATH=$root/usr/share/man SYSTEMD_LOG_LEVEL=notice systemd-analyze verify "$work/sentro.service" ||
    fail "systemd-analyze verify failed"
else
  echo "check-package: systemd-analyze not installed; unit not verified" >&2
fi

# 4. The unpacked daemon on the example appliance, in a sandbox.
examples=$root/usr/share/doc/sentro/examples
sandbox=$work/sandbox
sysroot=$sandbox/sysroot
mkdir -p "$sandbox"/{data/.svcStats,state,log} "$sysroot"/{proc/sys/kernel,var/core,usr/bin}
echo core > "$sysroot/proc/sys/kernel/core_pattern"
printf '#!/bin/sh\nexit 0\n' > "$sysroot/usr/bin/banner_ctrl"
chmod +x "$sysroot/usr/bin/banner_ctrl"
bash "$root/usr/share/sentro/scripts/install-telemetry-db.sh" "$sysroot"
cp -r "$examples" "$sandbox/config"

# The unit's commands, with the installed paths mapped into the unpacked tree
# and the configuration and data directories into the sandbox.
unit_value() { sed -n "s/^$1=//p" "$unit"; }
relocate() {
  sed -e "s|/usr/sbin/|$root/usr/sbin/|" -e "s|/etc/norvane/norvane-sentro|$sandbox/config|" \
    -e "s|/var/lib/norvane/norvane-sentro|$sandbox/data|"
}
start_command=$(unit_value ExecStart | relocate)
stop_command=$(unit_value ExecStop)
[ "$(unit_value WorkingDirectory)" = /var/log/norvane ] || fail "unexpected WorkingDirectory"
[[ $start_command == "$root/usr/sbin/sentro -c $sandbox/config -d $sandbox/data" ]] ||
  fail "unexpected ExecStart: $start_command"

export SENTRO_SYSROOT=$sysroot SENTRO_DEMO_HOME=$sandbox/config SENTRO_DEMO_STATE=$sandbox/state
export NORVANE_HUB_HOME=$sandbox/hub
NORVANE_PYTHON_BIN=$(command -v python3)
export SENTRO_PUBLISHER_DIR=$examples/publisher NORVANE_PYTHON_BIN
export SENTRO_EVENTS_FILE=$sandbox/events.jsonl
# A push every second, to a stand-in for the analytics service on its fixed
# address, so that the installed daemon must find its push helper in its
# libexec directory.
export SENTRO_TELEMETRY_PUSH_SECS=1
python3 scripts/analytics-stand-in.py &
analytics=$!
# shellcheck disable=SC2086 # split on blanks, as systemd splits ExecStart
(cd "$sandbox/log" && exec setsid $start_command > "$sandbox/stdout" 2>&1) &
daemon=$!

sentroctl=("$root/usr/bin/sentroctl" --datadir "$sandbox/data")
started=""
for _ in $(seq 1 90); do
  if "${sentroctl[@]}" status api 2>/dev/null | grep -q 'STARTED'; then
    started=yes
    break
  fi
  kill -0 "$daemon" 2>/dev/null || fail "the daemon ended: $(tail -n 20 "$sandbox/log/sentro.log")"
  sleep 1
done
[ -n "$started" ] || fail "api did not report STARTED within 90 s"
"${sentroctl[@]}" list

# The start records, flushed by a control request once the boot batch is
# done (the metrics store and the push timer are set up then), reach the
# stand-in.
for _ in $(seq 1 60); do
  grep -q "Successfully executed service batch operation START" "$sandbox/log/sentro.log" && break
  sleep 1
done
database=$sysroot/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db
"${sentroctl[@]}" save-stats >/dev/null
pushed=0
for _ in $(seq 1 30); do
  pushed=$(sqlite3 "$database" "SELECT count(*) FROM svcOpMetrics WHERE sentToAnalytics = 1")
  [ "$pushed" -gt 0 ] && break
  sleep 1
done
[ "$pushed" -gt 0 ] || fail "no start record was pushed: $(grep -i 'telemetry' "$sandbox/log/sentro.log" | tail -n 5)"
echo "check-package: the installed push helper sent $pushed start records"

# ExecStop as systemd runs it, with $MAINPID the daemon's pid.
# shellcheck disable=SC2034 # MAINPID is expanded by the eval
MAINPID=$daemon
eval "$stop_command"
for _ in $(seq 1 60); do
  kill -0 "$daemon" 2>/dev/null || break
  sleep 1
done
kill -0 "$daemon" 2>/dev/null && fail "the daemon did not stop within 60 s"
wait "$daemon" || fail "the daemon ended with status $?"
daemon=""

# database names messagebus and api in StopBefore: it stops before both.
log=$sandbox/log/sentro.log
stopped_line() { grep -nE "<$1> Service (STOPPED|exited)" "$log" | head -n 1 | cut -d: -f1; }
for after in messagebus api; do
  if [ -z "$(stopped_line "$after")" ] || [ -z "$(stopped_line database)" ]; then
    fail "no stop of $after or database in the log"
  fi
  (($(stopped_line database) < $(stopped_line "$after"))) ||
    fail "$after stopped before database: $(grep -E 'Service (STOPPED|exited)' "$log")"
done
# The example services recorded their start-up phases where their
# definitions say (state/ in the daemon's working directory), and the
# daemon's start records carry them.
phases=$(sqlite3 "$database" "SELECT count(*) FROM svcSubEvents")
[ "$phases" -gt 0 ] || fail "no start-up phase recorded: $(grep 'No startup information' "$log" | head -n 3)"
echo "check-package: passed"
