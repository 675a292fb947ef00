#!/usr/bin/env bash
# The Debian packages (quarn-udf and quarn-udf-dbgsym, as scripts/package.sh
# makes them) and make install put the right files in the right places.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
scratch=$(mktemp -d /tmp/quarn-package-XXXXXX)
failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
# Not grep -q: under pipefail its early exit can fail readelf with SIGPIPE
# while it still writes the section table.
has_debug_info() { readelf -S "$1" | grep ' \.debug_info ' >/dev/null; }
stripped() { file "$1" | grep -q ', stripped' && ! has_debug_info "$1"; }
lacks() { ! grep -q "$@"; }

plugin_dir=$(sed -n 's/^QUARN_PLUGIN_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ -n "$plugin_dir" ]] || { echo "no QUARN_PLUGIN_DIR in $build/CMakeCache.txt"; exit 1; }
restore() { cmake -S "$src" -B "$build" "-DQUARN_PLUGIN_DIR:PATH=$plugin_dir" >/dev/null; rm -rf "$scratch"; }
trap restore EXIT
plugins=(tarvik.so velmar.so ostrel.so)
shared=(install.sql uninstall.sql quarn_udf.ini.example README.md
        docs/reference.md docs/images.md docs/mail.md docs/operations.md)
docs=(copyright changelog.gz)
conffile=/etc/quarn-udf/uninstall.sql

# The packages: contents and dependencies.
"$src/scripts/package.sh" "$build" "$scratch/pkg" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/pkg/quarn-udf_*_amd64.deb)
dbgsym=$(ls "$scratch"/pkg/quarn-udf-dbgsym_*_amd64.deb)
check "two packages and nothing else" test "$(ls "$scratch/pkg" | grep -c 'deb$')" -eq 2
dpkg -x "$deb" "$scratch/root"
dpkg -x "$dbgsym" "$scratch/dbg"
for f in "${plugins[@]}"; do
  check "package has $plugin_dir/$f" test -f "$scratch/root$plugin_dir/$f"
  check "$f in the package loads its libraries" \
    bash -c "! ldd '$scratch/root$plugin_dir/$f' | grep -q 'not found'"
done
for f in "${shared[@]}"; do
  check "package has /usr/share/quarn-udf/$f" test -f "$scratch/root/usr/share/quarn-udf/$f"
done
for f in "${docs[@]}"; do
  check "package has /usr/share/doc/quarn-udf/$f" test -f "$scratch/root/usr/share/doc/quarn-udf/$f"
done
check "package has $conffile" test -f "$scratch/root$conffile"
check "package holds nothing else" \
  test "$(find "$scratch/root" -type f | wc -l)" -eq $(( ${#plugins[@]} + ${#shared[@]} + ${#docs[@]} + 1 ))
# Stripped libraries; each one's debug information in the -dbgsym package
# under its build id, where gdb looks for it.
for f in "${plugins[@]}"; do
  lib="$scratch/root$plugin_dir/$f"
  check "$f in the package is stripped" stripped "$lib"
  id=$(readelf -n "$lib" | sed -n 's/.*Build ID: //p')
  check "quarn-udf-dbgsym has the debug information of $f" \
    has_debug_info "$scratch/dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
done
check "quarn-udf-dbgsym holds nothing else" \
  test "$(find "$scratch/dbg" -type f | wc -l)" -eq ${#plugins[@]}
check "quarn-udf-dbgsym depends on this quarn-udf" \
  test "$(dpkg-deb -f "$dbgsym" Depends)" = "quarn-udf (= $(dpkg-deb -f "$deb" Version))"
check "the changelog names the package's version" \
  bash -c "zcat '$scratch/root/usr/share/doc/quarn-udf/changelog.gz' | head -1 | grep -qF '($(dpkg-deb -f "$deb" Version))'"
# The version names the commit and sorts after the previous commit's; a
# tree without its history (a source tarball) has the base version alone.
version=$(dpkg-deb -f "$deb" Version)
if [[ "$(git -C "$src" rev-parse --is-shallow-repository 2>/dev/null)" == false ]]; then
  check "version $version names the commit" grep -qE '^[0-9.]+\+[0-9]+\.g[0-9a-f]{7,}(\.dirty)?$' <<<"$version"
  previous=$("$src/packaging/version.sh" "${version%%+*}" HEAD~1)
  check "version $version sorts after $previous" dpkg --compare-versions "$previous" lt "$version"
else
  echo "skip the version's commit: no git history in $src"
fi
cp -r "$src/packaging" "$scratch/tarball"
check "without git history the version is the base" test "$("$scratch/tarball/version.sh" 0.1.0 2>/dev/null)" = 0.1.0
# Debian's package checker finds no error (its warnings are shown), and the
# libraries, which run inside the server, are built hardened as Debian
# builds its own: relocations bound at load time, checked C library calls.
lintian_status=0
lintian --fail-on error --display-info --tag-display-limit 0 "$deb" "$dbgsym" \
  >"$scratch/lintian.out" 2>&1 || lintian_status=$?
cat "$scratch/lintian.out"
check "lintian finds no error" test "$lintian_status" -eq 0
for tag in hardening-no-bindnow hardening-no-fortify-functions hardening-no-relro; do
  check "lintian finds no $tag" lacks -w "$tag" "$scratch/lintian.out"
done
check "the copyright file states the MIT (Expat) licence" \
  grep -qx 'License: Expat' "$scratch/root/usr/share/doc/quarn-udf/copyright"
depends=$(dpkg-deb -f "$deb" Depends)
# Every shared library the plug-ins need comes from a package the .deb depends on.
for f in "${plugins[@]}"; do
  for lib in $(objdump -p "$scratch/root$plugin_dir/$f" | awk '/NEEDED/ {print $2}'); do
    path=$(ldd "$scratch/root$plugin_dir/$f" | awk -v l="$lib" '$1 == l {print $3}')
    [[ "$lib" == ld-linux* ]] && path=$(readlink -f /lib64/"$lib")  # the loader itself
    owner=""
    for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path}"; do
      owner=$(dpkg -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1 || true)
      [[ -n "$owner" ]] && break
    done
    check "$f needs $lib from $owner, a dependency" grep -qw -- "$owner" <<<"$depends"
  done
done
for p in libdevil1c2 libjpeg62-turbo libwebp7 libwebpdemux2 libheif1 libpng16-16 libgif7 libtiff6 libboost-system1.74.0 libssl3 liblcms2-2 libinih1; do
  check "package depends on $p" grep -qw -- "$p" <<<"$depends"
done
check "install.sql registers the eight functions" \
  test "$(grep -c '^CREATE FUNCTION' "$scratch/root/usr/share/quarn-udf/install.sql")" -eq 8

# dpkg installs, upgrades, removes and purges it in a root of its own, which
# holds a shell for the maintainer scripts (they run chrooted there).
if [[ $(id -u) -eq 0 ]]; then
  root="$scratch/dpkg-root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  for f in /bin/sh $(ldd /bin/sh | grep -o '/[^ ]*'); do cp --parents -L "$f" "$root"; done
  sandbox() { dpkg --root="$root" --log=/dev/null --force-depends "$@" >"$scratch/dpkg.out" 2>&1; }
  check "dpkg installs the package" sandbox -i "$deb"
  check "dpkg upgrades it" sandbox -i "$deb"
  check "no reminder of uninstall.sql on upgrade" lacks uninstall.sql "$scratch/dpkg.out"
  check "dpkg removes it" sandbox -r quarn-udf
  check "removal reminds of uninstall.sql" grep -qF "mariadb -u root < $conffile" "$scratch/dpkg.out"
  check "$conffile stays after removal" test -f "$root$conffile"
  check "dpkg purges it" sandbox -P quarn-udf
  check "$conffile goes on purge" test ! -e "$root$conffile"
else
  echo "skip dpkg install and removal: not root"
fi

# make install: DESTDIR, then a PLUGIN_DIR override (restored afterwards).
DESTDIR="$scratch/staged" cmake --install "$build" >/dev/null
for f in "${plugins[@]}"; do check "DESTDIR install has $plugin_dir/$f" test -f "$scratch/staged$plugin_dir/$f"; done
cmake -S "$src" -B "$build" -DQUARN_PLUGIN_DIR:PATH=/opt/quarn/plugin >/dev/null
DESTDIR="$scratch/moved" cmake --install "$build" >/dev/null || true
for f in "${plugins[@]}"; do check "PLUGIN_DIR install has /opt/quarn/plugin/$f" test -f "$scratch/moved/opt/quarn/plugin/$f"; done

echo "package_test: $failures failed"
[[ $failures -eq 0 ]]
