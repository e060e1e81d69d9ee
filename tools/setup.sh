#!/usr/bin/env bash
# Installs every Debian 12 package the project builds, tests and runs with.
# Idempotent and silent when everything is already there. Run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-video-dev
  libwebp-dev libplist-dev
  libcli11-dev libspdlog-dev libfmt-dev
  libhwy-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
