#!/usr/bin/env bash
# Installs what is needed, builds Sentro, and runs the daemon in the
# foreground on the example appliance in examples/, sandboxed under
# build/demo/sysroot (SENTRO_SYSROOT): nothing on this machine outside
# build/demo is touched. The log is followed on the terminal; Ctrl-C stops
# every service in order and ends the daemon. Drive it from another terminal
# with: build/sentroctl --datadir build/demo/data status
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build"
cmake --build "$build" -j"$(nproc)"

demo=$top/$build/demo
rm -rf "$demo"
mkdir -p "$demo"/{data/.svcStats,state,sysroot/proc/sys/kernel,sysroot/var/core,sysroot/usr/bin,sysroot/var/log/norvane}
echo core > "$demo/sysroot/proc/sys/kernel/core_pattern"
# The appliance's banner program, run once after start-up.
printf '#!/bin/sh\necho "banner_ctrl $*" >> "%s/banner.log"\n' "$demo" > "$demo/sysroot/usr/bin/banner_ctrl"
chmod +x "$demo/sysroot/usr/bin/banner_ctrl"
# The operation metrics database, as the appliance's installer lays it down.
bash scripts/install-telemetry-db.sh "$demo/sysroot"
mkdir -p "$demo/sysroot/etc/keelbase/appliance"
echo '{"build": "demo-1", "version": "1.0.0"}' > "$demo/sysroot/etc/keelbase/appliance/update.conf"

export SENTRO_SYSROOT=$demo/sysroot
export SENTRO_DEMO_HOME=$top/examples
export SENTRO_DEMO_STATE=$demo/state
export DEMO_STATE_DIR=$demo/state
export NORVANE_HUB_HOME=$demo/hub
# Health changes go to the reference publisher, which appends them to a file.
export SENTRO_PUBLISHER_DIR=$top/tools/publisher
export NORVANE_PYTHON_BIN=$(command -v python3)
export SENTRO_EVENTS_FILE=$demo/events.jsonl

cd "$demo"
touch sentro.log
tail -n +1 -F sentro.log &
tail_pid=$!
trap 'kill "$tail_pid" 2>/dev/null || true' EXIT
echo "Sentro demo: log in $demo/sentro.log; press Ctrl-C to stop."
# The daemon runs in a session of its own, as it would at boot, so the
# terminal's Ctrl-C reaches only this script, which asks for an orderly stop.
setsid "$top/$build/sentro" -c "$top/examples" -d "$demo/data" &
daemon=$!
trap 'kill -TERM "$daemon" 2>/dev/null || true' INT TERM
status=0
while kill -0 "$daemon" 2>/dev/null; do
  wait "$daemon" && status=0 || status=$?
done
sleep 0.2
echo "Sentro demo ended (status $status). Health events: $demo/events.jsonl"
exit "$status"
