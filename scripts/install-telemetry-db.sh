#!/usr/bin/env bash
# Installs Sentro's operation metrics database with its tables.
#   scripts/install-telemetry-db.sh [ROOT]
# ROOT is the system root to install under: "/" (the default) on an
# appliance, a sysroot directory for the demo and the tests. The database is
# created at ROOT/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db
# from share/telemetry-schema.sql. Running it again on an existing database
# adds what is missing and keeps every row.
set -euo pipefail

root=${1:-/}
schema=$(cd "$(dirname "$0")/.." && pwd)/share/telemetry-schema.sql
db_dir=${root%/}/etc/norvane/norvane-sentro/telemetry/db
db=$db_dir/SentroTelemetry.db

command -v sqlite3 >/dev/null || { echo "install-telemetry-db: sqlite3 is not installed" >&2; exit 1; }
[ -r "$schema" ] || { echo "install-telemetry-db: missing $schema" >&2; exit 1; }

mkdir -p "$db_dir"
sqlite3 -bail "$db" < "$schema"
chmod 0640 "$db"
