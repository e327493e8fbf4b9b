#!/bin/sh
# Health command of the demo services: 63 (start pending) while the service
# warms up, 0 (healthy) once it has marked itself ready.
name=$1
state_dir=${DEMO_STATE_DIR:-state}  # as demo-service.sh
if [ -f "$state_dir/$name.ready" ]; then
  echo "$name ok"
  exit 0
fi
echo "$name warming up"
exit 63
