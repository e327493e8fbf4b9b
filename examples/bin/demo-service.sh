#!/bin/sh
# A stand-in for an appliance service: it takes a moment to warm up, marks
# itself ready, then works until it is told to stop. With a second argument
# N it dies with status 1 after about N seconds, to show recovery at work.
name=$1
crash_every=$2
state_dir=${DEMO_STATE_DIR:-/tmp}
ready="$state_dir/$name.ready"
rm -f "$ready"
trap 'echo "$name: stopping"; rm -f "$ready"; exit 0' TERM INT
echo "$name: warming up"
sleep "${WARMUP_SECONDS:-1}"
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
