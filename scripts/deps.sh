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
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
