#!/usr/bin/env bash
# The packages the README's first screen installs are those scripts/demo.sh installs, so
# that a user following either gets a palvex-mux that builds.
set -euo pipefail
root=$(dirname "$0")/../..
source "$root/scripts/deps.sh"
readme=$(grep -m1 '^sudo apt-get install -y ' "$root/README.md" | sed 's/^sudo apt-get install -y //' | tr ' ' '\n' | sort)
script=$(printf '%s\n' "${PALVEX_TOOL_PACKAGES[@]}" | sort)
if [ "$readme" != "$script" ]; then
  echo "README installs:"; echo "$readme"; echo "scripts/deps.sh PALVEX_TOOL_PACKAGES:"; echo "$script"
  exit 1
fi
