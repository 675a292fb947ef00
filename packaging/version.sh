#!/bin/sh
# Prints the packages' version for the source tree this script belongs to:
# BASE+N.gID, where ID is the commit built and N the number of commits in
# its history, so that every commit's packages sort after those of the
# commits before it (a merge counts the commits of both sides). A tree with
# uncommitted changes adds ".dirty". Without the whole history (a source
# tarball, a shallow clone) N is not known: the version is BASE alone and a
# warning on standard error says why.
# Usage: version.sh BASE [COMMIT]
set -eu
base=$1
commit=${2:-}
top=$(cd "$(dirname "$0")/.." && pwd -P)
warn() { echo "version.sh: $*; the version is $base alone" >&2; echo "$base"; exit 0; }

command -v git >/dev/null 2>&1 || warn "git is not installed"
# The history must be this tree's own, not that of a repository around it.
toplevel=$(git -C "$top" rev-parse --show-toplevel 2>&1) || warn "$(echo "$toplevel" | head -1)"
[ "$(cd "$toplevel" && pwd -P)" = "$top" ] || warn "$top is not a git repository"
[ "$(git -C "$top" rev-parse --is-shallow-repository)" = false ] ||
  warn "a shallow clone does not count its commits (git fetch --unshallow)"
count=$(git -C "$top" rev-list --count "${commit:-HEAD}")
id=$(git -C "$top" rev-parse --short=7 "${commit:-HEAD}")
dirty=
[ -n "$commit" ] || git -C "$top" diff --quiet HEAD -- || dirty=.dirty
echo "$base+$count.g$id$dirty"
