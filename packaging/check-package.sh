#!/usr/bin/env bash
# The installed tree and the Debian package as their users meet them: the
# example agent built against the installed tree alone (its CMake package, then
# its pkg-config file with clang++ -std=c++11) and run on the simulated engine;
# the boot-time unit verified; the .deb installed with dpkg, its zrsnap run, and
# the package purged again so the machine stays as it was.
# usage: packaging/check-package.sh [BUILD_DIR]   (a built tree; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
# dpkg-shlibdeps for CPack, systemd-analyze for the unit.
./scripts/install-deps dpkg-dev systemd
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
installed=
finish() {
  if [ -n "$installed" ]; then $SUDO dpkg --purge zrsnap >/dev/null; fi
  rm -rf "$work"
}
trap finish EXIT

step() { echo "-- $*"; }
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
# systemd-analyze verify exits 0 on some findings (unknown keys), so any output counts.
# It also runs man for Documentation=man:zrsnap(1): --man=no where the page is not installed.
verify_unit() {
  command -v systemd-analyze >/dev/null || fail "systemd-analyze is not installed (scripts/install-deps installs systemd)"
  local out
  out=$(systemd-analyze verify "$@" 2>&1) || fail "systemd-analyze verify $*: $out"
  [ -z "$out" ] || fail "systemd-analyze verify $*: $out"
}
# Builds the installed example with the flags pkg-config gives, as C++11 with Clang.
build_with_pkg_config() {
  local examples=$1 out=$2
  clang++ -std=c++11 -Wall -Wextra -Werror -o "$out" "$examples/agent.cpp" "$examples/SimSetup.cpp" \
    -DKESTRELSNAP_PLUGIN="\"$(pkg-config --variable=plugin kestrelsnap)\"" $(pkg-config --cflags --libs kestrelsnap) \
    -Wl,-rpath,"$(pkg-config --variable=libdir kestrelsnap)"
}

prefix=$work/prefix
step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
examples=$prefix/share/doc/zrsnap/examples

step "example agent: find_package(KestrelSnap) from the installed tree, run on the simulated engine"
cmake -S "$examples" -B "$work/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example-cmake" >/dev/null
"$work/example-cmake/example-agent" 2>/dev/null | tee "$work/example.out"
# What README's integration contract says stays loaded after dlclose.
expected="still loaded after dlclose: libflrsnapos.so libzrplatform.so"
grep -qx "$expected" "$work/example.out" || fail "the example agent did not print \"$expected\""

step "example agent: pkg-config flags, clang++ -std=c++11"
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name kestrelsnap.pc)") build_with_pkg_config "$examples" "$work/agent-pc"
"$work/agent-pc" 2>/dev/null

step "systemd-analyze verify of the installed unit"
verify_unit --man=no "$prefix/lib/systemd/system/zrsnap-cleanup.service"

step "Debian package"
rm -f "$build"/zrsnap_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zrsnap_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libmount1 libstdc++6; do
  [[ $depends == *"$dependency "* ]] || fail "$deb does not depend on $dependency: $depends"
done
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/zrsnap ./usr/lib/libkestrelsnap.so ./usr/share/man/man1/zrsnap.1.gz \
  ./usr/lib/systemd/system/zrsnap-cleanup.service ./usr/lib/pkgconfig/kestrelsnap.pc; do
  grep -q " $file\$" <<<"$contents" || fail "$deb lacks $file"
done
echo "$(basename "$deb"): Depends: $depends"

dpkg -s zrsnap >/dev/null 2>&1 && fail "a zrsnap package is already installed here; not touching it"
step "dpkg -i $(basename "$deb")"
installed=yes
$SUDO dpkg -i "$deb" >/dev/null
[ "$(command -v zrsnap)" = /usr/bin/zrsnap ] || fail "zrsnap is not /usr/bin/zrsnap but $(command -v zrsnap)"

step "zrsnap --version, against the plug-in's ZrVersion section"
version=$(zrsnap --version)
echo "$version"
# readelf shows the section's line feed as the two characters \n.
section=$(readelf -p ZrVersion /usr/lib/libkestrelsnap.so | sed -n 's/^ *\[ *0\] *//p' | sed 's/\\n$//')
[ "$version" = "$section" ] || fail "zrsnap --version says \"$version\", the plug-in's ZrVersion \"$section\""

step "zrsnap demo (installed)"
zrsnap demo >"$work/demo.out" 2>&1 || fail "the installed zrsnap demo failed: $(cat "$work/demo.out")"
tail -n 1 "$work/demo.out"

step "the package's unit, manual page and pkg-config file"
verify_unit /usr/lib/systemd/system/zrsnap-cleanup.service
[ "$(systemctl is-enabled zrsnap-cleanup.service 2>&1)" = enabled ] || fail "zrsnap-cleanup.service is not enabled"
gzip -t /usr/share/man/man1/zrsnap.1.gz
if command -v man >/dev/null; then [ "$(man -w zrsnap)" = /usr/share/man/man1/zrsnap.1.gz ]; fi
build_with_pkg_config /usr/share/doc/zrsnap/examples "$work/agent-usr"
"$work/agent-usr" 2>/dev/null

step "dpkg --purge zrsnap"
$SUDO dpkg --purge zrsnap >/dev/null
installed=
for left in /usr/bin/zrsnap /usr/lib/libkestrelsnap.so /etc/systemd/system/multi-user.target.wants/zrsnap-cleanup.service \
  /etc/systemd/system/zrsnap-cleanup.service; do
  [ ! -e "$left" ] && [ ! -L "$left" ] || fail "$left is still there after the purge"
done
echo "installed tree, example agent and Debian package: all checks passed"
