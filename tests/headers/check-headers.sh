#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Agents are often older code: every public header must compile on its own as
# C++11, and all of them together as each later standard, with GCC and Clang.
# A build with libstdc++'s old string ABI must stop at a clear #error.
# usage: check-headers.sh INCLUDE_DIR
set -euo pipefail
include=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mapfile -t headers < <(cd "$include" && find . -name '*.h' -printf '%P\n' | sort)
[ ${#headers[@]} -gt 0 ] || { echo "no headers under $include"; exit 1; }
for h in "${headers[@]}"; do echo "#include \"$h\""; done >"$work/all.cpp"

jobs=()
for cxx in g++ clang++; do
  command -v "$cxx" >/dev/null || { echo "$cxx is not installed (scripts/install-deps installs it)"; exit 1; }
  for h in "${headers[@]}"; do jobs+=("$cxx -std=c++11 $h"); done
  for std in c++14 c++17 c++20; do jobs+=("$cxx -std=$std all.cpp"); done
done

compile() {  # compiler standard header-or-all.cpp
  local src flags=(-Wall -Wextra -Wpedantic -Werror -fsyntax-only -x c++ -I"$include")
  if [ "$3" = all.cpp ]; then src=$work/all.cpp; else src=$work/$(echo "$3" | tr / _).cpp; echo "#include \"$3\"" >"$src"; fi
  if ! out=$("$1" "$2" "${flags[@]}" "$src" 2>&1); then
    printf 'FAILED: %s %s %s\n%s\n' "$1" "$2" "$3" "$out"
    return 1
  fi
}
export -f compile
export work include

failed=0
printf '%s\n' "${jobs[@]}" | xargs -P "$(nproc)" -L 1 bash -c 'compile "$@"' _ || failed=1

# The interface passes std::string by value: the old ABI would break at run time, so it must not compile.
echo '#include "KestrelNativeSnapManager.h"' >"$work/oldabi.cpp"
for cxx in g++ clang++; do
  if out=$("$cxx" -std=c++11 -D_GLIBCXX_USE_CXX11_ABI=0 -fsyntax-only -I"$include" "$work/oldabi.cpp" 2>&1); then
    echo "FAILED: $cxx accepted the old string ABI"
    failed=1
  elif ! grep -q "needs libstdc++'s new ABI" <<<"$out"; then
    printf 'FAILED: %s refused the old string ABI without saying why:\n%s\n' "$cxx" "$out"
    failed=1
  fi
done

[ $failed -eq 0 ] && echo "${#jobs[@]} compilations and the old-ABI check passed (${#headers[@]} headers)"
exit $failed
