# Sourced by the benchmarks that run our program beside the Motion daemon: installs what is
# missing (Motion, the opencv-doc clips, GStreamer's tools), keeps Debian's Motion service
# from watching anything while we measure, and builds the program in $build.
missing=""
command -v motion >/dev/null || missing="$missing motion"
[ -f /usr/share/doc/opencv-doc/examples/data/vtest.avi ] || missing="$missing opencv-doc"
command -v gst-launch-1.0 >/dev/null || missing="$missing gstreamer1.0-tools"
[ -z "$missing" ] || {
    apt-get update >/dev/null
    # shellcheck disable=SC2086 # package names, none with a space
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing >/dev/null
}
systemctl disable --now motion >/dev/null 2>&1 || service motion stop >/dev/null 2>&1 || true

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j2 --target Video >/dev/null
