#!/usr/bin/env bash
# Installs the Debian packages that `make run`, `make test` or `make bench` need, and only
# those that are missing. Usage: scripts/deps.sh run|test|bench|fuzz|package|screenshot
set -euo pipefail

build=(cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev
       libsndfile1-dev libpulse-dev libgl-dev qt6-qpa-plugins libqt6svg6 fonts-dejavu-core)
test=(lintian pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon xvfb xdotool util-linux appstream desktop-file-utils dpkg-dev libfuse3-dev fuse3 procps
      weston qt6-wayland)

case "${1:-run}" in
  run) wanted=("${build[@]}") ;;
  test|bench) wanted=("${build[@]}" "${test[@]}") ;;
  fuzz) wanted=("${build[@]}" clang libclang-rt-14-dev) ;;
  package) wanted=("${build[@]}" dpkg-dev lintian) ;;
  screenshot) wanted=("${build[@]}" xvfb xdotool imagemagick pulseaudio pulseaudio-utils) ;;
  *) echo "usage: $0 run|test|bench|fuzz|package|screenshot" >&2; exit 2 ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
