#!/bin/sh
# Prints the changelog the packages carry: packaging/changelog, under an
# entry for the build's version when that is not its newest (a commit
# between releases, as Debian's own snapshot builds name theirs), dated by
# the commit so that two builds of one commit are the same.
# Usage: changelog.sh BASE [VERSION]   (VERSION: default version.sh's)
set -eu
here=$(cd "$(dirname "$0")" && pwd -P)
version=${2:-$("$here/version.sh" "$1")}
newest=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$here/changelog")
if [ "$version" != "$newest" ]; then
  case $version in
    *+*.g*)
      id=${version##*.g}
      count=${version##*+}
      when=$(git -C "$here/.." log -1 --format=%ct "${id%.dirty}")
      text="Snapshot of commit ${id%.dirty}, ${count%%.*} commits in its history"
      [ "$id" = "${id%.dirty}" ] || text="$text,
    with changes not committed"
      ;;
    *)
      when=${SOURCE_DATE_EPOCH:-$(date +%s)}
      text="Built as version $version"
      ;;
  esac
  printf '%s\n\n  * %s.\n\n -- %s  %s\n\n' "quarn-udf ($version) unstable; urgency=medium" "$text" \
    "quarn-udf developers <dev@quarn-udf.invalid>" "$(LC_ALL=C date -u -R -d "@$when")"
fi
cat "$here/changelog"
