#!/usr/bin/env bash
# The configuration and service definition references list exactly the keys
# the daemon reads: every key read in src/ (a typed reader call, a ranged
# read, a key table entry, a member look-up) appears in docs/configuration.md
# or docs/service-definitions.md, and every key in a table of those pages is
# read so in src/.
#   tests/docs/check-doc-keys.sh [SOURCE_DIR]
set -euo pipefail
top=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
docs=("$top/docs/configuration.md" "$top/docs/service-definitions.md")

code_keys=$(grep -rhzoE --include='*.cc' \
  '(Get[A-Za-z0-9]*|Read[A-Za-z0-9]*|FindStringMember)\([^"();]*"[A-Z][A-Za-z0-9]*"|\{"[A-Z][A-Za-z0-9]*", *&' \
  "$top/src" | tr '\0' '\n' | grep -oE '"[A-Z][A-Za-z0-9]*"' | tr -d '"' | sort -u)
doc_keys=$(grep -hoE '^\| `[A-Z][A-Za-z0-9]*` \|' "${docs[@]}" | tr -d '|` ' | sort -u)

status=0
for key in $code_keys; do
  if ! grep -q "\`$key\`" "${docs[@]}"; then
    echo "read by the daemon but not documented: $key"
    status=1
  fi
done
# A documented key (CamelCase) must be one the reader calls above find, so
# that a new way of reading keys cannot hide keys from the first check; an
# all-capitals entry in a table is a value (HAFAILOVER) and need only occur.
for key in $doc_keys; do
  if [[ $key =~ [a-z] ]]; then
    grep -qxF "$key" <<< "$code_keys" && continue
  elif grep -rq --include='*.cc' "\"$key\"" "$top/src"; then
    continue
  fi
  echo "documented but not read by the daemon: $key"
  status=1
done
[ -n "$code_keys" ] && [ -n "$doc_keys" ] || { echo "no keys found"; status=1; }
exit "$status"
