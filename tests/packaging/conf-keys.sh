#!/usr/bin/env bash
# Every Conf.ini key the gateway reads is in the README's reference and in
# zel-rv7300.conf(5), with one default in all three: the default the code
# passes where it reads the key, the README's Default column, and the man
# page's "default X" (or "X (the default)") in the key's paragraph.
# Usage: conf-keys.sh GatewaySettings.cpp README.md zel-rv7300.conf.5
set -euo pipefail
code=$1
readme=$2
man=$3
status=0
fail() { echo "$*"; status=1; }

# "SECTION", "KEY" pairs, and the bounded SRV_ZEL integers read through a helper.
pairs=$( (grep -oE '"(SRV_ZEL|GENERAL|TCP|MENSAJES|MONITOR)", "[A-Z_]+"' "$code" | tr -d '", ' |
          sed 's/^\(SRV_ZEL\|GENERAL\|TCP\|MENSAJES\|MONITOR\)/\1 /'
          grep -oE 'bounded\("[A-Z_]+"' "$code" | sed 's/bounded("\(.*\)"/SRV_ZEL \1/') | sort -u)
[ -n "$pairs" ] || { echo "no key found in $code"; exit 1; }

count=0
while read -r section key; do
  count=$((count + 1))
  # The code's default: the argument after the key, a literal or a named constant.
  arg=$(grep -oE "(\"$section\", \"$key\"|bounded\\(\"$key\"), [^,)]+" "$code" | head -n 1 |
        sed -E 's/.*, //' || true)
  if [[ "$arg" =~ ^k[A-Za-z]+$ ]]; then
    arg=$(sed -nE "s/.*constexpr [^=]* $arg = (.*);.*/\\1/p" "$code" | head -n 1)
  fi
  arg=${arg//\"/}
  [ -n "$arg" ] || [ -z "$(grep -oE "\"$section\", \"$key\", \"\"" "$code")" ] || arg=empty
  row=$(grep -E "^\| \`$section\` \| \`$key\` \|" "$readme" || true)
  if [ -z "$row" ]; then
    fail "README: no row for [$section] $key"
    continue
  fi
  default=$(echo "$row" | awk -F'|' '{ print $4 }' | tr -d '`' | sed 's/^ *//; s/ *$//')
  if [ -n "$arg" ] && [ "$arg" != "$default" ]; then
    fail "[$section] $key: the code's default is '$arg', the README's '$default'"
  fi
  paragraph=$(awk -v k=".BI $key=" 'index($0, k) == 1 { on = 1; next }
                                    on && /^\.(TP|SS|SH)/ { exit }
                                    on { print }' "$man" | tr '\n' ' ' | sed 's/\\-/-/g; s/[.;,:]\( \|$\)/ /g')
  if [ -z "$paragraph" ]; then
    fail "zel-rv7300.conf(5): no entry for [$section] $key"
  elif ! grep -qE "default ${default//./\\.}( |$)|${default//./\\.} \(the default\)" <<<"$paragraph"; then
    fail "zel-rv7300.conf(5): [$section] $key does not say 'default $default'"
  fi
done <<<"$pairs"
[ "$status" -eq 0 ] && echo "$count keys: the code, the README and zel-rv7300.conf(5) agree"
exit "$status"
