#!/bin/sh
# Installs the build under a scratch prefix and checks what a desktop finds there: the
# program, its desktop entry and icon, valid AppStream metadata, a manual page that
# covers the options, and the user service.
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

id=io.github.videomovement.Video
fail() { echo "install test: $*" >&2; exit 1; }
[ -x "$prefix/bin/Video" ] || fail "no program in bin/"
desktop="$prefix/share/applications/$id.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx "Exec=Video" "$desktop" || fail "the desktop entry does not start Video"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry names another icon"
icon="$prefix/share/icons/hicolor/scalable/apps/$id.svg"
grep -q "<svg" "$icon" || fail "the icon is no SVG picture"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
appstreamcli validate --no-net --pedantic "$metainfo" >&2 || fail "the AppStream metadata is not valid"
grep -q "release version=\"[0-9]" "$metainfo" || fail "the AppStream release has no version"
man="$prefix/share/man/man1/Video.1"
[ -f "$man" ] || fail "no manual page"
for option in --help --version --list-cameras --camera --source --save-dir --threshold --min-movement --period \
    --detection --mask --auto --headless --log-cycles --mqtt --desktop-clipboard; do
  grep -q -- "$(echo "$option" | sed 's/-/\\\\-/g')" "$man" || fail "the manual page misses $option"
done
service="$prefix/lib/systemd/user/video-headless.service"
grep -q "^ExecStart=$prefix/bin/Video --headless$" "$service" || fail "the service does not run Video --headless"
echo "installed and checked under $prefix"
