#!/usr/bin/env bash
# Makes the Debian packages: quarn-udf with stripped libraries, and
# quarn-udf-dbgsym with their debug information, named and laid out as
# Debian's own.
# The version names the commit built (packaging/version.sh): the build is
# configured again to take the commit of the moment, and only the libraries
# are built.
# Usage: package.sh BUILD_DIR [OUTPUT_DIR]   (default BUILD_DIR/package)
set -euo pipefail
build=$(realpath "$1")
out=$(realpath -m "${2:-$build/package}")
cmake "$build" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target tarvik velmar ostrel
rm -f "$out"/quarn-udf*.deb "$out"/quarn-udf*.ddeb
(cd "$build" && cpack -G DEB -B "$out")

# CPack writes the debug package as .ddeb, with md5sums that name its
# staging directory instead of the package's paths, and without the
# documentation directory Debian's policy asks for (a link to the main
# package's, which it depends on). Rebuilt here as Debian builds it.
for ddeb in "$out"/*-dbgsym_*.ddeb; do
  [[ -e "$ddeb" ]] || continue
  root=$(mktemp -d)
  chmod 0755 "$root"
  dpkg-deb -R "$ddeb" "$root"
  package=$(dpkg-deb -f "$ddeb" Package)
  find "$root/usr/lib/debug" -type f -exec chmod 0644 {} +
  (cd "$root" && find usr -type f -exec md5sum {} + | sort -k 2 >DEBIAN/md5sums)
  mkdir -p "$root/usr/share/doc"
  ln -s "${package%-dbgsym}" "$root/usr/share/doc/$package"
  dpkg-deb --root-owner-group --build "$root" "${ddeb%.ddeb}.deb" >/dev/null
  rm -rf "$root" "$ddeb"
  echo "package: ${ddeb%.ddeb}.deb"
done
