#!/usr/bin/env bash
# Every option a program's --help lists (for each of its commands) is in its
# man page, and the man page names no option the program does not take.
# Usage: cli-options.sh PROGRAM MANPAGE [COMMAND...]
set -euo pipefail
program=$1
man=$2
shift 2
help() { "$program" --help; for c in "$@"; do "$program" "$c" --help; done; }
listed=$(help "$@" | grep -oE '^  (-h,)?--[a-z][a-z-]*' | sed 's/^ *\(-h,\)\{0,1\}//' | sort -u)
named=$(sed 's/\\-/-/g' "$man" | grep -oE '(^|[^a-z-])--[a-z][a-z-]*' | grep -oE -- '--[a-z][a-z-]*' | sort -u)
status=0
for o in $listed; do
  grep -qx -- "$o" <<<"$named" || { echo "$man: no $o, which $program --help lists" >&2; status=1; }
done
for o in $named; do
  grep -qx -- "$o" <<<"$listed" || { echo "$man: names $o, which $program does not take" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "$(wc -w <<<"$listed") options of $program agree with $man"
exit "$status"
