#!/usr/bin/env bash
# Installs the build into a staging directory and checks the installed tree: the programs and the
# tolvar link, the library with its header and package files, the manual pages, the completions,
# programs that run from the staged prefix, and a user's program built against Quillan through
# pkg-config and through find_package.
# Usage: install_check.sh BUILD_DIR [EXTRA_CXXFLAGS]
set -euo pipefail
build=$1
extra=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d /tmp/tolvar-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }

DESTDIR=$stage/root cmake --install "$build" --prefix /opt/tolvar >"$stage/install.log" ||
  { cat "$stage/install.log"; fail "cmake --install failed"; }
root=$stage/root/opt/tolvar
libdir=$(ls -d "$root"/lib*/ | head -n 1)
libdir=${libdir%/}

for path in bin/Tolvar bin/tolvar-board bin/quillan include/quillan.h \
            share/man/man1/Tolvar.1 share/man/man1/tolvar.1 share/man/man1/tolvar-board.1 share/man/man1/quillan.1 \
            share/bash-completion/completions/Tolvar share/bash-completion/completions/tolvar \
            share/bash-completion/completions/quillan; do
  [ -e "$root/$path" ] || fail "$path is missing"
done
for path in libquillan.so pkgconfig/quillan.pc cmake/Quillan/QuillanConfig.cmake \
            cmake/Quillan/QuillanConfigVersion.cmake cmake/Quillan/QuillanTargets.cmake; do
  [ -e "$libdir/$path" ] || fail "${libdir#$root/}/$path is missing"
done
[ "$(readlink "$root/bin/tolvar")" = "Tolvar" ] || fail "bin/tolvar is not a link to Tolvar"

# The staged programs must find the staged library, not one in the build tree.
for program in Tolvar quillan; do
  loaded=$(ldd "$root/bin/$program" | awk '/libquillan/ { print $3 }')
  [ -n "$loaded" ] && [ "$(dirname "$(readlink -f "$loaded")")" = "$(readlink -f "$libdir")" ] ||
    fail "$program does not load libquillan from $libdir: ${loaded:-not found}"
done
# Whole outputs first: grep -q closing the pipe early would fail a program still writing.
help=$("$root/bin/quillan" --help) && grep -q '^Usage: quillan' <<<"$help" || fail "quillan --help does not run"
help=$("$root/bin/tolvar-board" --help) && grep -q '^Usage: tolvar-board' <<<"$help" ||
  fail "tolvar-board --help does not run"
status=0
TOLVAR_PREFIX=$stage/prefix "$root/bin/tolvar" </dev/null >"$stage/usage.out" 2>&1 || status=$?
[ "$status" -eq 255 ] && grep -q '^Usage:' "$stage/usage.out" || fail "tolvar without arguments: status $status"
for page in Tolvar tolvar-board quillan; do
  if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww "$root/share/man/man1/$page.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
  fi
done

run_consumer() {
  local program=$1 work=$stage/run-$2
  mkdir -p "$work"
  LD_LIBRARY_PATH=$libdir "$program" "$work" || fail "the $2 consumer failed"
}

if command -v pkg-config >/dev/null; then
  mkdir -p "$stage/pc"
  flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs quillan) || fail "pkg-config does not find quillan"
  case $flags in *"$root"*) ;; *) fail "pkg-config flags point outside the staged prefix: $flags" ;; esac
  # shellcheck disable=SC2086
  c++ -std=c++20 $extra "$here/consumer.cpp" $flags -o "$stage/pc/consumer" || fail "the pkg-config consumer does not build"
  run_consumer "$stage/pc/consumer" pkg-config
else
  echo "pkg-config not installed: quillan.pc checked by presence only"
fi

cmake -S "$here" -B "$stage/cm" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_CXX_FLAGS="$extra" \
  >"$stage/cm.log" 2>&1 || { cat "$stage/cm.log"; fail "find_package(Quillan) failed"; }
cmake --build "$stage/cm" >>"$stage/cm.log" 2>&1 || { cat "$stage/cm.log"; fail "the CMake consumer does not build"; }
run_consumer "$stage/cm/consumer" find_package
echo "install check passed"
