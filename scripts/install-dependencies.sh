#!/bin/sh
# Installs the Debian 12 packages that building, running and testing need, with every
# tool the tests and scripts call (xvfb-run, dbus-run-session, mosquitto, gst-launch-1.0,
# help2man, appstreamcli, desktop-file-validate, systemd-analyze, the RTSP server library
# the network camera tests serve from, openssl for the web tests' certificate); does nothing when they
# are all present already.
set -eu

packages="build-essential cmake pkg-config git
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  libgtest-dev libgmock-dev libbenchmark-dev libopencv-core-dev libopencv-imgproc-dev
  libcanberra-dev sound-theme-freedesktop fonts-dejavu-core xvfb xauth
  libsqlite3-dev libmosquitto-dev mosquitto gstreamer1.0-tools dbus dbus-daemon help2man
  libopencv-video-dev libxcb1-dev libqt6svg6 appstream desktop-file-utils systemd
  libseccomp-dev libgstrtspserver-1.0-dev libmicrohttpd-dev libcrypt-dev openssl"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
else
  sudo=""
fi
echo "Installing:$missing"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
