#!/usr/bin/env bash
# Formats each man page given and fails on any warning of man or groff.
set -euo pipefail
status=0
for page in "$@"; do
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || status=1
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "$# man pages format without a warning"
exit "$status"
