#!/usr/bin/env bash
# Checks that #include lines run one way through the layers:
#   lib/log <- lib/pollDefault <- lib/asyncsocket <- src/core <- src/process
#   <- src/service <- src/manager <- src/control, src/telemetry <- src/daemon
# src/protocol stands alone; tools reach only what a client may link.
# Prints every include that runs against the layers; exits 1 if there is one.
#   scripts/check-layers.sh            check
#   scripts/check-layers.sh --graph    also print folder -> folder include counts
set -euo pipefail
cd "$(dirname "$0")/.."

# Folder, then the folders its files may include (besides its own).
rules=$(cat <<'RULES'
lib/log
lib/pollDefault      lib/log
lib/asyncsocket      lib/log lib/pollDefault
src/protocol
src/core             lib/log lib/pollDefault
src/process          lib/log lib/pollDefault src/core
src/service          lib/log lib/pollDefault src/core src/process
src/manager          lib/log lib/pollDefault src/core src/process src/service
src/control          lib/log lib/pollDefault lib/asyncsocket src/core src/process src/service src/manager src/protocol
src/telemetry        lib/log lib/pollDefault src/core src/process src/service src/manager
src/daemon           lib/log lib/pollDefault lib/asyncsocket src/core src/process src/service src/manager src/protocol src/control src/telemetry
tools/sentroctl      lib/log lib/pollDefault src/protocol src/core src/process src/service src/manager
tools/telemetry-push lib/log src/core src/telemetry
RULES
)

# The folder an include names: two path elements (src/service/servlet counts
# as src/service).
folder_of() { echo "$1" | cut -d/ -f1-2; }

bad=0
declare -A edges=()
while read -r folder allowed; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line target; do
    to=$(folder_of "$target")
    from=$(folder_of "$file")
    [ "$to" = "$from" ] && continue
    edges["$from -> $to"]=$(( ${edges["$from -> $to"]:-0} + 1 ))
    case " $allowed " in
      *" $to "*) ;;
      *) echo "$file:$line: includes $target ($from may not reach $to)"; bad=1 ;;
    esac
  done < <(grep -rnoE '^#include "(lib|src|tools)/[^"]+"' "$folder" --include='*.cc' --include='*.h' \
             | sed -E 's/#include "([^"]+)"/\1/')
done <<< "$rules"

if [ "${1:-}" = "--graph" ]; then
  for edge in "${!edges[@]}"; do printf '%-40s %d\n' "$edge" "${edges[$edge]}"; done | sort
fi
if [ "$bad" = 0 ]; then
  echo "layers: every include runs one way"
fi
exit "$bad"
