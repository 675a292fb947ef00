#!/usr/bin/env bash
# Installs the Debian packages the project needs; quick when all are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config binutils
  mariadb-server mariadb-client libmariadbd-dev libmariadb-dev
  galera-4 rsync iproute2
  libdevil-dev libjpeg62-turbo-dev libwebp-dev libheif-dev libavif-dev libjxl-dev
  liblcms2-dev libpng-dev libgif-dev libtiff-dev
  libboost-dev libboost-system-dev libinih-dev libssl-dev openssl ca-certificates
  libidn2-dev
  googletest libgtest-dev
  python3
  clang libclang-rt-14-dev
  dpkg-dev file lintian
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "deps: installing ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Another apt may hold its locks for a while, as a fresh machine's
# unattended upgrades do: apt-get waits for the dpkg lock itself
# (DPkg::Lock::Timeout), and a step that failed on one of apt's other
# locks (the package lists', the download cache's) is tried again, both
# for up to lock_wait seconds.
lock_wait=300
apt_get() {
  local deadline=$((SECONDS + lock_wait)) output status
  output=$(mktemp)
  while :; do
    status=0
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=$lock_wait "$@" 2>&1 | tee "$output" ||
      status=${PIPESTATUS[0]}
    if [[ $status -eq 0 ]] || ! grep -q 'Could not get lock' "$output" || [[ $SECONDS -ge $deadline ]]; then
      rm -f "$output"
      return $status
    fi
    echo "deps: another apt holds its lock; trying again in 5 s"
    sleep 5
  done
}
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
