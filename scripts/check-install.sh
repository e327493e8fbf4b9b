#!/usr/bin/env bash
# Installs, upgrades and removes the Debian package of Sentro in a throwaway
# Debian bookworm chroot, and checks a DESTDIR install from the build tree:
#   1. debootstrap (minbase), then `apt-get install ./sentro_<version>.deb`:
#      the dependencies it pulls, the maintainer scripts' output, the
#      sentroapi user, the directories of the tmpfiles entry with their modes
#      and owners, the metrics database (mode 0640, its tables), the conffiles;
#   2. systemd-analyze verify of the installed unit (systemd is installed in
#      the chroot but is not PID 1 there);
#   3. the example appliance copied into /etc/norvane/norvane-sentro as an
#      operator would, its variables in /etc/default/sentro; the unit's
#      ExecStart run by hand as the unit runs it (EnvironmentFile,
#      WorkingDirectory, a new session) with SENTRO_SYSROOT set to a scratch
#      directory inside the chroot; the installed sentroctl shows every
#      AUTOMATIC service STARTED; the unit's ExecStop with $MAINPID the
#      daemon's pid stops them in stop order (database before messagebus and
#      api), the daemon exits 0 and leaves no process behind, and the
#      services' start-up phases are in the (sandboxed) metrics database;
#   4. the operator edits config.json and /etc/default/sentro, adds a service
#      definition, leaves a file in the data directory and a row in the
#      metrics database; the package of the next patch version (built in a
#      git worktree of HEAD with only the version changed) is installed
#      non-interactively over it: every one of those files and rows is
#      unchanged, the version is the new one, and the appliance runs again;
#   5. `apt-get remove`: the configuration, the data directory and the
#      database stay; `apt-get purge`: what is removed and what stays;
#   6. on this machine, `cmake --install build-package --prefix /usr` with
#      DESTDIR: every file lands under DESTDIR and nowhere else, and a second
#      install keeps an edited config.json and /etc/default/sentro.
# Needs root, debootstrap, git and network access to a Debian mirror. Leaves
# this machine unchanged: the package is installed only inside the chroot,
# every daemon start sets SENTRO_SYSROOT, the trap ends the processes that run
# in the chroot (by pid), unmounts what was mounted and removes the chroot,
# the worktree and DESTDIR, also on failure (the chroot, unmounted, is kept
# then for inspection, and its path printed).
#   scripts/check-install.sh                       builds both packages
#   scripts/check-install.sh OLD.deb NEW.deb       NEW's version is higher
# Environment: CHROOT (/var/tmp/sentro-chroot), MIRROR (the host's Debian
# mirror), UPGRADE_TREE (/work/wt/upgrade), DESTDIR_CHECK (/tmp/destdir-check).
# shellcheck disable=SC2016,SC2015 # '${Status}', '$MAINPID', sh -c scripts are literal; `a && b || fail` fails if either fails
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check-install: $*" >&2
  exit 1
}
say() { echo "check-install: $*"; }

[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, chroot, mount)"
for tool in debootstrap chroot git dpkg-deb cmake; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done
[ $# = 0 ] || [ $# = 2 ] || fail "usage: scripts/check-install.sh [OLD.deb NEW.deb]"

repo=$(pwd)
root=${CHROOT:-/var/tmp/sentro-chroot}
upgrade_tree=${UPGRADE_TREE:-/work/wt/upgrade}
destdir=${DESTDIR_CHECK:-/tmp/destdir-check}
marker=.sentro-check-install
case $destdir in
  /tmp/?* | /var/tmp/?*) ;;
  *) fail "DESTDIR_CHECK must lie under /tmp or /var/tmp (it is removed): $destdir" ;;
esac
if [ -z "${MIRROR:-}" ]; then
  MIRROR=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null |
    grep -oE 'https?://[^ ]+/debian/?( |$)' | grep -v security | head -n 1 | tr -d ' ' || true)
  MIRROR=${MIRROR:-http://deb.debian.org/debian}
fi

work=$(mktemp -d /tmp/sentro-check-install.XXXXXX)
worktree_made=""
chroot_made=""
daemon=""

# Processes whose root directory is the chroot: only this script starts any.
chroot_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}
chroot_mounts() { awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r; }
cleanup() {
  local status=$? pids
  set +e
  pids=$(chroot_pids)
  if [ -n "$pids" ]; then
    echo "check-install: ending the processes left in the chroot: ${pids//$'\n'/ }" >&2
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null
    for _ in $(seq 1 10); do
      [ -z "$(chroot_pids)" ] && break
      sleep 1
    done
    pids=$(chroot_pids)
    # shellcheck disable=SC2086
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null
    sleep 1
  fi
  for mnt in $(chroot_mounts); do
    umount "$mnt" || umount --lazy "$mnt"
  done
  if [ -n "$(chroot_mounts)" ]; then
    echo "check-install: still mounted, $root left as it is: $(chroot_mounts)" >&2
  elif [ -n "$chroot_made" ]; then
    if [ "$status" = 0 ]; then
      rm -rf --one-file-system "$root"
    else
      echo "check-install: failed; the chroot (unmounted) is kept in $root" >&2
    fi
  fi
  if [ -n "$worktree_made" ]; then
    git -C "$repo" worktree remove --force "$upgrade_tree" || echo "check-install: remove $upgrade_tree by hand" >&2
  fi
  rm -rf "$destdir"
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The packages: given, or built here (the old one in build-package/, the new
# one in a worktree of HEAD whose only change is the next patch version).
if [ $# = 2 ]; then
  old_deb=$1
  new_deb=$2
else
  say "building the package in build-package/"
  old_deb=$(BUILD_DIR=build-package bash scripts/build-package.sh 2> "$work/build-old.log") ||
    fail "the build failed: $(tail -n 30 "$work/build-old.log")"
  base=$(sed -n 's/^project(sentro VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
  next=${base%.*}.$((${base##*.} + 1))
  [ -e "$upgrade_tree" ] && fail "$upgrade_tree exists; remove it first (git worktree remove)"
  git -C "$repo" worktree add --quiet --detach "$upgrade_tree" HEAD
  worktree_made=yes
  sed -i "s/^project(sentro VERSION $base /project(sentro VERSION $next /" "$upgrade_tree/CMakeLists.txt"
  grep -q "^project(sentro VERSION $next " "$upgrade_tree/CMakeLists.txt" || fail "could not set the version $next"
  say "building the package of version $next in $upgrade_tree/build-package/"
  new_deb=$(cd "$upgrade_tree" && BUILD_DIR=build-package bash scripts/build-package.sh 2> "$work/build-new.log") ||
    fail "the build of $next failed: $(tail -n 30 "$work/build-new.log")"
fi
for deb in "$old_deb" "$new_deb"; do
  [ -f "$deb" ] || fail "no package $deb"
done
cp "$old_deb" "$new_deb" "$work/"
old_deb=$work/$(basename "$old_deb")
new_deb=$work/$(basename "$new_deb")
old_version=$(dpkg-deb -f "$old_deb" Version)
new_version=$(dpkg-deb -f "$new_deb" Version)
dpkg --compare-versions "$new_version" gt "$old_version" || fail "$new_deb ($new_version) is not newer than $old_version"
say "packages: $(basename "$old_deb") -> $(basename "$new_deb")"

# Runs a command in the chroot with a clean environment; apt without a terminal.
in_chroot() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}
apt_in_chroot() {
  timeout 1200 chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive sh -c 'cd /tmp && apt-get -y -q -o Dpkg::Use-Pty=0 "$@"' apt-get "$@" </dev/null
}
# Prints what apt installs and what the package's own scripts printed
# (the lines after "Setting up sentro", "Removing sentro", ... that are not
# dpkg's or apt's own progress lines), and every warning.
apt_summary() {
  sed -nE '/^The following (NEW packages|packages will be REMOVED|packages will be upgraded)/,/ upgraded, /p' "$1"
  awk '/^(Setting up|Unpacking|Removing|Purging) sentro / { print; own = 1; next }
       /^(Setting up|Unpacking|Selecting|Preparing|Processing|Removing|Purging|\(Reading) / { own = 0 }
       own { print "  maintainer script: " $0 }' "$1"
  grep -iE 'warning|^W:|^E:|conffile|configuration file' "$1" || true
}
stat_of() { in_chroot stat -c '%a %U:%G' "$1"; }

# 1. A minimal bookworm, then the package.
if [ -e "$root" ]; then
  [ -e "$root/$marker" ] && [ -z "$(chroot_mounts)" ] && [ -z "$(chroot_pids)" ] ||
    fail "$root exists and is not an unmounted chroot of this script; remove it first"
  rm -rf --one-file-system "$root"
fi
say "1. debootstrap --variant=minbase bookworm $root $MIRROR"
chroot_made=yes
timeout 1800 debootstrap --variant=minbase bookworm "$root" "$MIRROR" > "$work/debootstrap.log" 2>&1 ||
  fail "debootstrap failed: $(tail -n 20 "$work/debootstrap.log")"
touch "$root/$marker"
mount -t proc proc "$root/proc"
mount --bind /dev/pts "$root/dev/pts"
cp "$old_deb" "$new_deb" "$root/tmp/"
say "  Depends: $(dpkg-deb -f "$old_deb" Depends); Recommends: $(dpkg-deb -f "$old_deb" Recommends)"
apt_in_chroot update > "$work/apt-update.log" 2>&1 || fail "apt-get update failed: $(tail "$work/apt-update.log")"
apt_in_chroot install "./$(basename "$old_deb")" > "$work/install.log" 2>&1 ||
  fail "apt-get install failed: $(tail -n 30 "$work/install.log")"
apt_summary "$work/install.log"
[ "$(in_chroot dpkg-query -W -f '${Status} ${Version}' sentro)" = "install ok installed $old_version" ] ||
  fail "sentro $old_version is not installed"

user=$(in_chroot getent passwd sentroapi) || fail "no sentroapi user"
say "user: $user; group: $(in_chroot getent group sentroapi)"
[ "$(echo "$user" | cut -d: -f7)" = /usr/sbin/nologin ] || fail "sentroapi has a login shell"
# Every directory of the tmpfiles entry, with its mode and owner.
while read -r type path mode owner group _; do
  [ "$type" = d ] || continue
  expected="$(printf '%o' $((8#$mode))) $owner:$group"
  actual=$(stat_of "$path") || fail "postinst did not create $path"
  say "  $path: $actual (tmpfiles: $mode $owner:$group)"
  [ "$actual" = "$expected" ] || fail "$path is $actual, the tmpfiles entry says $expected"
done < "$root/usr/lib/tmpfiles.d/sentro.conf"
db=/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db
say "  $db: $(stat_of "$db"), tables: $(in_chroot sqlite3 "$db" .tables | xargs)"
[ "$(stat_of "$db")" = "640 root:root" ] || fail "the metrics database is not 0640 root:root"
for table in svcOpMetrics svcSubEvents svcOpCounts; do
  in_chroot sqlite3 "$db" .tables | grep -qw "$table" || fail "the metrics database lacks $table"
done
say "  conffiles:$(in_chroot dpkg-query -W -f '${Conffiles}' sentro | awk '{ printf " %s", $1 }')"
[ -L "$root/etc/systemd/system/multi-user.target.wants/sentro.service" ] ||
  fail "postinst did not enable sentro.service"
say "  enabled: /etc/systemd/system/multi-user.target.wants/sentro.service -> $(readlink "$root/etc/systemd/system/multi-user.target.wants/sentro.service")"

# 2. The unit, verified with the chroot's systemd: first as the package's
# dependencies leave the system (plus systemd; procps, for the unit's
# /bin/kill, is one of them), then with man-db, which its Documentation
# lines need.
unit=/lib/systemd/system/sentro.service
verify() { in_chroot SYSTEMD_LOG_LEVEL=notice systemd-analyze verify "$unit" 2>&1; }
apt_in_chroot install systemd > "$work/systemd.log" 2>&1 || fail "apt-get install systemd failed: $(tail "$work/systemd.log")"
[ -x "$root/bin/kill" ] || fail "the package's dependencies leave no /bin/kill for the unit"
say "2. systemd-analyze verify $unit with systemd but without man-db:"
verify | sed 's/^/  /' || true
apt_in_chroot install man-db python3 > "$work/tools.log" 2>&1 ||
  fail "apt-get install man-db python3 failed: $(tail "$work/tools.log")"
say "   with man-db:"
verify | sed 's/^/  /' || fail "systemd-analyze verify failed"
say "   (exit status 0)"

# 3. The example appliance, as an operator installs it; the unit's commands
# by hand.
config=/etc/norvane/norvane-sentro
datadir=/var/lib/norvane/norvane-sentro
scratch=/root/sentro-scratch
sysroot=$scratch/sysroot
in_chroot cp -r /usr/share/doc/sentro/examples/. "$config/"
cat >> "$root/etc/default/sentro" <<EOF

# The example appliance.
NORVANE_PYTHON_BIN=/usr/bin/python3
SENTRO_DEMO_HOME=$config
SENTRO_DEMO_STATE=$scratch/state
SENTRO_PUBLISHER_DIR=$config/publisher
EOF
mkdir -p "$root$scratch"/{state,hub} "$root$sysroot"/{proc/sys/kernel,var/core,usr/bin}
echo core > "$root$sysroot/proc/sys/kernel/core_pattern"
printf '#!/bin/sh\nexit 0\n' > "$root$sysroot/usr/bin/banner_ctrl"
chmod +x "$root$sysroot/usr/bin/banner_ctrl"
in_chroot /usr/share/sentro/scripts/install-telemetry-db.sh "$sysroot"

unit_value() { sed -n "s/^$1=//p" "$root$unit"; }
start_command=$(unit_value ExecStart)
stop_command=$(unit_value ExecStop)
workdir=$(unit_value WorkingDirectory)
envfile=$(unit_value EnvironmentFile)
envfile=${envfile#-}
[ "$start_command" = "/usr/sbin/sentro -c $config -d $datadir" ] || fail "unexpected ExecStart: $start_command"
say "3. unit: ExecStart=$start_command ExecStop=$stop_command WorkingDirectory=$workdir" \
  "EnvironmentFile=$(unit_value EnvironmentFile) KillMode=$(unit_value KillMode)"
ctl() { in_chroot NORVANE_DATA_DIR=/var/lib/norvane sentroctl "$@"; }

# Starts the daemon as the unit does, on the scratch sysroot, waits for every
# AUTOMATIC service to be STARTED, runs ExecStop and checks the stop order and
# the exit status. $1 names the run in the messages.
run_appliance() {
  local log=$root$workdir/sentro.log started="" status
  # systemd splits ExecStart on blanks: so does the unquoted $3.
  # Started directly (not through a function) so that $! is the daemon: chroot,
  # env, sh and setsid each exec the next.
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 SENTRO_SYSROOT="$sysroot" NORVANE_HUB_HOME="$scratch/hub" \
    SENTRO_EVENTS_FILE="$scratch/events.jsonl" /bin/sh -c 'set -a; [ ! -r "$1" ] || . "$1"; set +a
      [ -n "$SENTRO_SYSROOT" ] && [ -d "$SENTRO_SYSROOT" ] || exit 99
      cd "$2" && exec setsid $3' sh "$envfile" "$workdir" "$start_command" > "$work/stdout-$1" 2>&1 &
  daemon=$!
  for _ in $(seq 1 90); do
    if ctl status api 2>/dev/null | grep -q STARTED &&
      ctl list | awk 'NR > 1 && $4 == "AUTOMATIC" && $2 != "STARTED" { bad = 1 } END { exit bad }'; then
      started=yes
      break
    fi
    kill -0 "$daemon" 2>/dev/null || fail "the daemon ended ($1): $(tail -n 20 "$log")"
    sleep 1
  done
  [ -n "$started" ] || fail "the AUTOMATIC services were not all STARTED within 90 s ($1): $(ctl list)"
  [ "$(cat "/proc/$daemon/comm")" = sentro ] || fail "pid $daemon is not the daemon"
  ctl list > "$work/list-$1"
  sed 's/^/  /' "$work/list-$1"

  # ExecStop as systemd runs it, $MAINPID replaced by the daemon's pid.
  # shellcheck disable=SC2086 # split on blanks as systemd does
  in_chroot MAINPID="$daemon" ${stop_command//'$MAINPID'/$daemon}
  for _ in $(seq 1 60); do
    kill -0 "$daemon" 2>/dev/null || break
    sleep 1
  done
  kill -0 "$daemon" 2>/dev/null && fail "the daemon did not stop within 60 s ($1)"
  status=0
  wait "$daemon" || status=$?
  daemon_pid=$daemon
  daemon=""
  [ "$status" = 0 ] || fail "the daemon ended with status $status ($1)"
  say "  the daemon exited with status 0"
  # KillMode=mixed would SIGKILL what is left: nothing should be.
  for _ in $(seq 1 5); do
    [ -z "$(chroot_pids)" ] && break
    sleep 1
  done
  [ -z "$(chroot_pids)" ] || fail "processes left after the daemon exited ($1): $(ps -o pid,args -p "$(chroot_pids | paste -sd,)")"

  # database names messagebus and api in StopBefore: it stops before both.
  # The daemon moves the previous sentro.log aside when it starts; its own
  # lines name its pid.
  local runlog=$work/log-$1
  grep -F " host-$daemon_pid " "$log" > "$runlog"
  stopped_line() { grep -nE "<$1> Service (STOPPED|exited)" "$runlog" | head -n 1 | cut -d: -f1; }
  for after in messagebus api; do
    [ -n "$(stopped_line "$after")" ] && [ -n "$(stopped_line database)" ] ||
      fail "no stop of $after or database in the log ($1)"
    (($(stopped_line database) < $(stopped_line "$after"))) ||
      fail "$after stopped before database ($1): $(grep -E 'Service (STOPPED|exited)' "$runlog")"
  done
  say "  stop order: $(grep -oE '<[a-z-]+> Service STOPPED' "$runlog" | cut -d'>' -f1 | tr -d '<' | xargs)"
  grep -E ' (Wa|Er)\([0-9]+\) ' "$runlog" | grep -vE 'Service exited|empty StopSignal' |
    sed -E 's/^[^ ]+ //; s/host-[0-9]+ //' | sort | uniq -c | sed 's/^/  log: /' || true
  [ ! -s "$root$sysroot/reboot-requests" ] || say "  reboot requests: $(cat "$root$sysroot/reboot-requests")"
  # The example services record their start-up phases in state/ of the
  # working directory, where their definitions look for them.
  local phases
  phases=$(in_chroot sqlite3 "$sysroot$db" "SELECT count(*) FROM svcSubEvents")
  [ "$phases" -gt 0 ] || fail "no start-up phase reached the metrics database ($1)"
  say "  start-up phases recorded: $phases"
}
run_appliance "$old_version"

# 4. The operator's changes, then the upgrade.
sed -i 's/"DefaultServiceStopTimeout": 5,/"DefaultServiceStopTimeout": 6,/' "$root$config/config.json"
grep -q '"DefaultServiceStopTimeout": 6,' "$root$config/config.json" || fail "could not edit config.json"
cat > "$root$config/svcCfgfiles/backup.json" <<'EOF'
{
  "Name": "backup",
  "StartupType": "MANUAL",
  "DependsOn": ["database"],
  "StartCommand": "%SENTRO_DEMO_HOME%/bin/demo-service.sh",
  "StartCommandArgs": ["backup"],
  "ApiHealthCommand": "%SENTRO_DEMO_HOME%/bin/demo-health.sh",
  "ApiHealthCommandArgs": ["backup"],
  "StreamRedirectFile": "%SENTRO_DEMO_STATE%/backup"
}
EOF
echo "left by the operator" > "$root$datadir/operator-note"
in_chroot sqlite3 "$db" "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime,
  operationEndTime, timeForOperationInSec, serviceStatus) VALUES ('operator-row', 'START', 'backup',
  '2025-01-01 00:00:00 UTC', '2025-01-01 00:00:05 UTC', '5', 'STARTED');
  INSERT INTO svcOpCounts (serviceName, buildNumber, startOperationCount) VALUES ('backup', 'b1', 3);"
# Checksums of every operator file, the data directory's files (not the
# socket) and the database's rows.
snapshot() {
  in_chroot sh -c "find $config /etc/default/sentro /var/lib/norvane -type f ! -path $db -print0 | sort -z | xargs -0 sha256sum"
  echo "$(in_chroot sqlite3 "$db" .dump | sha256sum | cut -d' ' -f1)  rows of $db"
}
snapshot > "$work/before"
say "4. before the upgrade: $(wc -l < "$work/before") checksums, e.g.:"
grep -E 'config.json|default/sentro|backup.json|operator-note|stats_api|rows of' "$work/before" | sed 's/^/  /'
apt_in_chroot install "./$(basename "$new_deb")" > "$work/upgrade.log" 2>&1 ||
  fail "the upgrade failed: $(tail -n 30 "$work/upgrade.log")"
apt_summary "$work/upgrade.log"
snapshot > "$work/after"
diff "$work/before" "$work/after" || fail "the upgrade changed the files or rows above"
say "  after the upgrade: the same $(wc -l < "$work/after") checksums; database file $(stat_of "$db")"
[ "$(in_chroot dpkg-query -W -f '${Status} ${Version}' sentro)" = "install ok installed $new_version" ] ||
  fail "sentro $new_version is not installed"
say "  installed: sentro $(in_chroot dpkg-query -W -f '${Version}' sentro);" \
  "changelog: $(zcat "$root/usr/share/doc/sentro/changelog.gz" | head -n 1)"
run_appliance "$new_version"
grep -qE '^backup +STOPPED .*MANUAL' "$work/list-$new_version" || fail "the new daemon does not list the operator's backup service"
say "  the new daemon lists the operator's backup service (MANUAL, STOPPED)"

# 5. Remove, then purge. The run above added the backup service's statistics.
snapshot > "$work/before-remove"
list_left() {
  in_chroot sh -c 'for p in /etc/norvane /var/lib/norvane /var/log/norvane /var/core /etc/default/sentro \
    /etc/systemd/system/multi-user.target.wants/sentro.service /var/lib/systemd/deb-systemd-helper-enabled; do
    [ -e "$p" ] || [ -L "$p" ] || continue; find "$p" \( -type f -o -type l -o -type s -o -type d \) -printf "%y %m %u:%g %p\n"; done' |
    grep -E 'sentro|norvane|/var/core' | sed 's/^/  /'
  echo "  user: $(in_chroot getent passwd sentroapi || echo 'no sentroapi')"
}
apt_in_chroot remove sentro > "$work/remove.log" 2>&1 || fail "apt-get remove failed: $(tail -n 30 "$work/remove.log")"
apt_summary "$work/remove.log"
say "5. after apt-get remove: $(in_chroot dpkg-query -W -f '${Status}' sentro)"
list_left > "$work/left-remove"
cat "$work/left-remove"
[ ! -e "$root/usr/sbin/sentro" ] || fail "remove left /usr/sbin/sentro"
snapshot > "$work/after-remove"
diff "$work/before-remove" "$work/after-remove" || fail "remove changed the configuration, data or rows"
say "  remove kept every one of the $(wc -l < "$work/after-remove") checksums (files and rows)"
apt_in_chroot purge sentro > "$work/purge.log" 2>&1 || fail "apt-get purge failed: $(tail -n 30 "$work/purge.log")"
apt_summary "$work/purge.log"
say "   after apt-get purge: $(in_chroot dpkg-query -W -f '${Status}' sentro 2>&1 || true)"
list_left > "$work/left-purge"
cat "$work/left-purge"
say "   removed by purge:"
{ diff <(awk '{ print $NF }' "$work/left-remove") <(awk '{ print $NF }' "$work/left-purge") || true; } |
  sed -n 's/^< /  /p'
for gone in "$db" "$datadir" "$config/config.json" "$config/profiles.json" /etc/default/sentro "$workdir/sentro.log"; do
  [ ! -e "$root$gone" ] || fail "purge left $gone"
done
[ -f "$root$config/svcCfgfiles/backup.json" ] || fail "purge deleted the operator's service definition"
in_chroot getent passwd sentroapi >/dev/null || fail "purge deleted the sentroapi user"

# 6. A DESTDIR install from the build tree on this machine.
build_tree=$repo/build-package
[ -f "$build_tree/CMakeCache.txt" ] || BUILD_DIR=build-package bash scripts/build-package.sh >/dev/null
rm -rf "$destdir"
mkdir -p "$destdir"
stamp=$work/stamp
touch "$stamp"
DESTDIR=$destdir cmake --install "$build_tree" --prefix /usr > "$work/cmake-install-1.log"
say "6. DESTDIR=$destdir cmake --install build-package --prefix /usr:"
# Every path cmake names lies under DESTDIR; nothing new on this machine
# outside it bears the package's names.
outside=$(sed -nE 's/^-- (Installing|Up-to-date|Kept): //p' "$work/cmake-install-1.log" | grep -v "^$destdir/" || true)
[ -z "$outside" ] || fail "cmake --install wrote outside DESTDIR: $outside"
# install_manifest.txt names the installed files without DESTDIR.
while read -r installed; do
  [ -e "$destdir$installed" ] || fail "install_manifest.txt names $installed, absent from DESTDIR"
done < "$build_tree/install_manifest.txt"
outside=$(find /etc /usr /lib /var /opt /root /srv -xdev \( -path /var/tmp -o -path /var/cache -o -path /var/lib/apt \) -prune -o \
  -cnewer "$stamp" \( -name '*sentro*' -o -name '*norvane*' \) -print 2>/dev/null || true)
[ -z "$outside" ] || fail "files with the package's names appeared outside DESTDIR: $outside"
(cd "$destdir" && find . \( -type f -o -type l \) -printf '%m %P\n') | sort -k2 > "$work/destdir-files"
sed 's|^|  /DESTDIR/|; s|/DESTDIR/\([^ ]*\) \(.*\)|\1 /\2|' "$work/destdir-files"
dpkg-deb -c "$old_deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort > "$work/deb-files"
awk '{ print $2 }' "$work/destdir-files" | sort > "$work/destdir-names"
if diff "$work/deb-files" "$work/destdir-names" > "$work/deb-vs-destdir"; then
  say "  the same $(wc -l < "$work/destdir-names") files as the package"
else
  say "  differences from the package's file list (< package only, > DESTDIR only):"
  sed -n 's/^[<>] /&/p' "$work/deb-vs-destdir" | sed 's/^/  /'
fi
# A second install over edited configuration files keeps them.
cfg_file=$destdir/etc/norvane/norvane-sentro/config.json
echo '// edited by the operator' >> "$cfg_file"
echo 'NORVANE_PYTHON_BIN=/usr/bin/python3' >> "$destdir/etc/default/sentro"
before=$(sha256sum "$cfg_file" "$destdir/etc/default/sentro")
DESTDIR=$destdir cmake --install "$build_tree" --prefix /usr > "$work/cmake-install-2.log"
after=$(sha256sum "$cfg_file" "$destdir/etc/default/sentro")
[ "$before" = "$after" ] || fail "a second cmake --install overwrote the edited config.json or /etc/default/sentro"
grep -E -- '-- Kept:' "$work/cmake-install-2.log" | sed 's/^/  /'
say "  a second install kept the edited config.json and /etc/default/sentro"

say "ran in ${SECONDS} s"
say "passed"
