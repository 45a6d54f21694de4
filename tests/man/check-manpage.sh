#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The manual page must render without warnings and name every command, option
# and environment variable that zrsnap's own help names, so the two never drift.
# usage: check-manpage.sh ZRSNAP MANPAGE
set -euo pipefail
zrsnap=$1 page=$2
failed=0

for tool in mandoc groff; do
  command -v $tool >/dev/null || { echo "$tool is not installed (scripts/install-deps installs it)"; exit 1; }
done
if ! lint=$(mandoc -Tlint -Wwarning "$page" 2>&1) || [ -n "$lint" ]; then
  printf 'mandoc -Tlint:\n%s\n' "$lint"
  failed=1
fi
warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
if [ -n "$warnings" ]; then
  printf 'groff warnings:\n%s\n' "$warnings"
  failed=1
fi

# The page as a reader sees it, one paragraph per line, overstrikes removed.
text=$(mandoc -Tascii -Owidth=1000 "$page" | sed 's/.\x08//g')

help=$("$zrsnap" --help)
mapfile -t commands < <(sed -n 's/^  \([a-z][a-z]*\) .*/\1/p' <<<"$help")
[ ${#commands[@]} -ge 4 ] || { printf 'cannot find the commands in zrsnap --help:\n%s\n' "$help"; exit 1; }
for command in "${commands[@]}"; do help+=$'\n'$("$zrsnap" "$command" --help); done

mapfile -t names < <(grep -oE -- '(--[a-z][a-z-]*|\s-[a-z]\b|ZRSNAP_[A-Za-z_]*[A-Za-z])' <<<"$help" | tr -d ' \t' | sort -u)
for command in "${commands[@]}"; do names+=("zrsnap $command"); done
for name in "${names[@]}"; do
  # Whole words only: --dc must not count as found in --dcx.
  if ! grep -qE -- "(^|[^[:alnum:]_-])$name($|[^[:alnum:]_-])" <<<"$text"; then
    echo "the manual page does not mention $name"
    failed=1
  fi
done
[ $failed -eq 0 ] && echo "manual page clean; it names all ${#names[@]} commands, options and variables of zrsnap --help"
exit $failed
