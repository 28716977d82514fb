#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need on Debian 12.
# Runs as root; does nothing when everything is already there.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
      libyuv-dev libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev nlohmann-json3-dev
      libusb-1.0-0-dev pkg-config  # real cameras
      umockdev libumockdev-dev     # the emulated USB device node the real-camera tests run against
      g++-mingw-w64-x86-64   # the Windows kernel-mode cross build: compiler, kit headers, import libraries
      libpipewire-0.3-dev pipewire pipewire-bin wireplumber  # uvccam publish and its test's private daemon
      gstreamer1.0-tools gstreamer1.0-pipewire gstreamer1.0-plugins-base gstreamer1.0-plugins-good)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
