#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The installed tree and the Debian packages as their users meet them: the
# example agent built against the installed tree alone (its CMake package, then
# its pkg-config file with clang++ -std=c++11) and run on the simulated engine;
# the boot-time unit verified; the packages built by packaging/build-package
# (which fails on any lintian error or warning not overridden with a reason),
# installed with dpkg, their zrsnap run, and purged again so the machine stays
# as it was.
# usage: packaging/check-package.sh [BUILD_DIR]   (a built tree; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
# dpkg-shlibdeps for CPack, systemd-analyze for the unit.
./scripts/install-deps dpkg-dev systemd binutils
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
installed=
packages=(zrsnap-dev zrsnap libzrplatform1)
finish() {
  if [ -n "$installed" ]; then $SUDO dpkg --purge "${packages[@]}" >/dev/null; fi
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
[ -x "$prefix/sbin/zrsnap" ] && [ -f "$prefix/lib/zrsnap/libkestrelsnap.so" ] && [ -L "$prefix/lib/libzrplatform.so.1" ] ||
  fail "the installed tree lacks sbin/zrsnap, lib/zrsnap/libkestrelsnap.so or lib/libzrplatform.so.1"
[ ! -e "$prefix/include/zrsnap/FlrSnapOS.h" ] || fail "an internal header is installed: $prefix/include/zrsnap/FlrSnapOS.h"

step "Debian packages"
packaging/build-package "$build/packages"
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
debs=()
for package in "${packages[@]}"; do
  deb=$build/packages/${package}_${version}_${arch}.deb
  [ -f "$deb" ] || fail "no $deb"
  debs+=("$deb")
done
for package in zrsnap libzrplatform1; do
  [ -f "$build/packages/$package-dbgsym_${version}_${arch}.deb" ] ||
    [ -f "$build/packages/$package-dbgsym_${version}_${arch}.ddeb" ] || fail "no $package-dbgsym package"
done
# package: file... that it must ship
expect_files() {
  local package=$1 deb contents file
  shift
  deb=$build/packages/${package}_${version}_${arch}.deb
  contents=$(dpkg-deb -c "$deb")
  for file in "$@"; do
    grep -q " \\./${file#/}\\( ->.*\\)\\?\$" <<<"$contents" || fail "$(basename "$deb") lacks $file"
  done
}
expect_files zrsnap /usr/sbin/zrsnap /usr/lib/$triplet/zrsnap/libkestrelsnap.so /usr/lib/$triplet/zrsnap/libflrsnapos.so \
  /usr/share/man/man8/zrsnap.8.gz /usr/share/man/man5/agent.ini.5.gz /lib/systemd/system/zrsnap-cleanup.service \
  /etc/zrsnap/agent.ini /usr/share/doc/zrsnap/copyright
expect_files libzrplatform1 /usr/lib/$triplet/libzrplatform.so.1
expect_files zrsnap-dev /usr/include/zrsnap/KestrelNativeSnapManager.h /usr/lib/$triplet/libzrplatform.so \
  /usr/lib/$triplet/pkgconfig/kestrelsnap.pc /usr/lib/$triplet/cmake/KestrelSnap/KestrelSnapConfig.cmake
conffiles=$(dpkg-deb -I "$build/packages/zrsnap_${version}_${arch}.deb" conffiles)
grep -qx /etc/zrsnap/agent.ini <<<"$conffiles" || fail "/etc/zrsnap/agent.ini is not a conffile: $conffiles"
depends=$(dpkg-deb -f "$build/packages/zrsnap_${version}_${arch}.deb" Depends)
for dependency in libmount1 libstdc++6 libzrplatform1; do
  [[ $depends == *"$dependency "* ]] || fail "zrsnap does not depend on $dependency: $depends"
done
echo "zrsnap: Depends: $depends"

for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 && fail "a $package package is already installed here; not touching it"
done
step "dpkg -i ${debs[*]##*/}"
installed=yes
$SUDO dpkg -i "${debs[@]}" >/dev/null
[ "$(command -v zrsnap)" = /usr/sbin/zrsnap ] || fail "zrsnap is not /usr/sbin/zrsnap but $(command -v zrsnap)"
plugin=/usr/lib/$triplet/zrsnap/libkestrelsnap.so

step "stripped, hardened binaries"
for binary in /usr/sbin/zrsnap "$plugin" /usr/lib/$triplet/zrsnap/libflrsnapos.so /usr/lib/$triplet/libzrplatform.so.1; do
  ! readelf -S "$binary" | grep -q '\.debug_info' || fail "$binary is not stripped"
  readelf -lW "$binary" | grep -q GNU_RELRO || fail "$binary has no RELRO segment"
  readelf -dW "$binary" | grep -q 'BIND_NOW' || fail "$binary is not linked with -z now"
done
readelf -hW /usr/sbin/zrsnap | grep -q 'DYN (Position-Independent' || fail "/usr/sbin/zrsnap is not position-independent"

step "zrsnap --version, against the plug-in's ZrVersion section and debian/changelog"
version_line=$(zrsnap --version)
echo "$version_line"
# readelf shows the section's line feed as the two characters \n.
section=$(readelf -p ZrVersion "$plugin" | sed -n 's/^ *\[ *0\] *//p' | sed 's/\\n$//')
[ "$version_line" = "zrsnap $section" ] || fail "zrsnap --version says \"$version_line\", the plug-in's ZrVersion \"$section\""
[[ $section == "$version "* ]] || fail "the plug-in is version \"$section\", debian/changelog $version"

step "zrsnap demo (installed)"
zrsnap demo >"$work/demo.out" 2>&1 || fail "the installed zrsnap demo failed: $(cat "$work/demo.out")"
tail -n 1 "$work/demo.out"

step "the package's unit, manual pages, configuration and pkg-config file"
verify_unit /lib/systemd/system/zrsnap-cleanup.service
[ "$(systemctl is-enabled zrsnap-cleanup.service 2>&1)" = enabled ] || fail "zrsnap-cleanup.service is not enabled"
if command -v man >/dev/null; then
  [ "$(man -w 8 zrsnap)" = /usr/share/man/man8/zrsnap.8.gz ] || fail "man -w 8 zrsnap: $(man -w 8 zrsnap)"
  [ "$(man -w 5 agent.ini)" = /usr/share/man/man5/agent.ini.5.gz ] || fail "man -w 5 agent.ini: $(man -w 5 agent.ini)"
fi
# The installed configuration, all defaults, is what zrsnap reads when nothing else is named.
env -u ZRSNAP_CONFIG zrsnap sim list --sim-dir "$work/sim" >"$work/config.out" 2>&1 ||
  fail "zrsnap with /etc/zrsnap/agent.ini: $(cat "$work/config.out")"
! grep -q 'configuration file' "$work/config.out" || fail "zrsnap on /etc/zrsnap/agent.ini: $(cat "$work/config.out")"
build_with_pkg_config /usr/share/doc/zrsnap/examples "$work/agent-usr"
"$work/agent-usr" 2>/dev/null

step "dpkg --purge ${packages[*]}"
$SUDO dpkg --purge "${packages[@]}" >/dev/null
installed=
for left in /usr/sbin/zrsnap "$plugin" /usr/lib/$triplet/libzrplatform.so.1 /etc/zrsnap/agent.ini \
  /etc/systemd/system/multi-user.target.wants/zrsnap-cleanup.service /etc/systemd/system/zrsnap-cleanup.service; do
  [ ! -e "$left" ] && [ ! -L "$left" ] || fail "$left is still there after the purge"
done
echo "installed tree, example agent and Debian packages: all checks passed"
