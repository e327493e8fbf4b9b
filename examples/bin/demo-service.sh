#!/bin/sh
# A stand-in for an appliance service: it takes a moment to warm up, marks
# itself ready, then works until it is told to stop. With a second argument
# N it dies with status 1 after about N seconds, to show recovery at work.
# Its start-up phases and their times go to $DEMO_STATE_DIR/NAME-startup.json,
# the startup-events file its definition names, so that the daemon's metrics
# show where the start went. The definitions name state/NAME-startup.json,
# relative to the daemon's working directory, which the service shares: that
# is the default.
name=$1
crash_every=$2
state_dir=${DEMO_STATE_DIR:-state}
mkdir -p "$state_dir"
ready="$state_dir/$name.ready"
rm -f "$ready"
trap 'echo "$name: stopping"; rm -f "$ready"; exit 0' TERM INT
events="$state_dir/$name-startup.json"
stages=""
now() { date +%s.%N; }
# phase NAME SECONDS: sleeps for the phase and records how long it took.
phase() {
  began=$(now)
  sleep "$2"
  took=$(awk -v a="$began" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
  stages="$stages${stages:+,}{\"name\": \"$1\", \"seconds\": \"$took\", \"status\": \"OK\"}"
}
echo "$name: warming up"
warmup=${WARMUP_SECONDS:-1}
phase load-config "$(awk -v w="$warmup" 'BEGIN { print w * 0.2 }')"
phase warm-caches "$(awk -v w="$warmup" 'BEGIN { print w * 0.6 }')"
phase open-listener "$(awk -v w="$warmup" 'BEGIN { print w * 0.2 }')"
printf '{"stages": [%s]}\n' "$stages" > "$events.tmp" && mv "$events.tmp" "$events"
touch "$ready"
echo "$name: ready"
elapsed=0
while :; do
  sleep 1 &
  wait $!
  elapsed=$((elapsed + 1))
  if [ -n "$crash_every" ] && [ "$elapsed" -ge "$crash_every" ]; then
    echo "$name: simulated crash" >&2
    exit 1
  fi
done
