#!/usr/bin/env bash
# Installs what is missing, builds, and runs the client with its data in data/client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
mkdir -p "$root/data"
exec "$root/build/apps/headless/orvantel-headless" --data-dir "$root/data/client" "$@"
