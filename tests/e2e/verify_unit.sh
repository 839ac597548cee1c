#!/bin/sh
# systemd-analyze verify on an instance of palvex-mux's template unit: it must pass and say
# nothing (an unknown or misspelt directive is only a warning to systemd, a failure here).
# The man page is left out of the check: it is installed with the tool, not yet here.
unit="$1"
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skipped: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
out=$(systemd-analyze verify --man=no "$unit" 2>&1)
status=$?
[ -n "$out" ] && echo "$out"
[ "$status" -eq 0 ] && [ -z "$out" ] && echo "verified: $unit"
