#!/bin/sh
# Installs the build under a scratch prefix and checks what a desktop finds there: the
# program, its valid desktop entry and icon, valid AppStream metadata, a manual page that
# covers the options, the files, the settings and the exit statuses, and the template of
# user services with the sandbox that systemd rates.
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
grep -qx "Name=Video Movement Detector" "$desktop" || fail "the desktop entry is not named for what it does"
desktop-file-validate "$desktop" >&2 || fail "the desktop entry is not valid"
icon="$prefix/share/icons/hicolor/scalable/apps/$id.svg"
grep -q "<svg" "$icon" || fail "the icon is no SVG picture"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
appstreamcli validate --no-net --pedantic "$metainfo" >&2 || fail "the AppStream metadata is not valid"
grep -q "release version=\"[0-9]" "$metainfo" || fail "the AppStream release has no version"
man="$prefix/share/man/man1/Video.1"
[ -f "$man" ] || fail "no manual page"
for option in --help --version --list-cameras --camera --source --save-dir --threshold --min-movement --period \
    --detection --mask --auto --headless --log-cycles --mqtt --mqtt-discovery-prefix --no-mqtt-discovery \
    --desktop-clipboard --config --http --http-certificate --http-key --http-password-hash; do
  grep -q -- "$(echo "$option" | sed 's/-/\\\\-/g')" "$man" || fail "the manual page misses $option"
done
for section in FILES SETTINGS SIGNALS "EXIT STATUS" EXAMPLES; do
  grep -q "^\.SH \"\?$section\"\?$" "$man" || fail "the manual page has no $section section"
done
grep -q "events\.sqlite" "$man" || fail "the manual page does not name events.sqlite"
grep -q "pixelVariations" "$man" || fail "the manual page does not list the settings' keys"
grep -q "passwordHash" "$man" || fail "the manual page does not say how the web page's password is kept"
grep -q "VIDEO_MQTT_PASSWORD_FILE" "$man" || fail "the manual page does not say how to log in to a broker"
site="$prefix/share/doc/Video/site"
for file in camera.conf video-headless-mqtt.conf mosquitto-site.conf mosquitto-site.acl video-events.sh; do
  [ -f "$site/$file" ] || fail "no $file among the site's examples"
done
sh -n "$site/video-events.sh" || fail "the example consumer is no shell script"

service="$prefix/lib/systemd/user/video-headless@.service"
grep -q "^ExecStart=$prefix/bin/Video --headless --config %E/Video/%i.conf --save-dir %h/Video/%i$" "$service" ||
  fail "the service does not run Video --headless with its instance's settings file"
if command -v systemd-analyze >/dev/null; then
  # Offline, as the user's manager would load it; it needs a runtime folder of its own.
  runtime=$(mktemp -d)
  trap 'rm -rf "$prefix" "$runtime"' EXIT
  rating=$(XDG_RUNTIME_DIR=$runtime systemd-analyze security --user --offline=true --no-pager "$service" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  [ -n "$rating" ] || fail "systemd-analyze gave the service no rating"
  awk -v r="$rating" 'BEGIN { exit !(r <= 4.0) }' || fail "systemd-analyze rates the service $rating, above 4.0"
  echo "systemd-analyze rates the service $rating"
  # The site's login drop-in as a machine installs it: systemd takes every line of it.
  units=$(mktemp -d)
  trap 'rm -rf "$prefix" "$runtime" "$units"' EXIT
  cp "$service" "$units/"
  mkdir "$units/video-headless@.service.d"
  cp "$site/video-headless-mqtt.conf" "$units/video-headless@.service.d/mqtt.conf"
  complaints=$(XDG_RUNTIME_DIR=$runtime SYSTEMD_UNIT_PATH="$units:" systemd-analyze verify --user \
    "$units/video-headless@garage.service" 2>&1 | grep "mqtt.conf" || true)
  [ -z "$complaints" ] || fail "systemd does not take the site's login drop-in: $complaints"
fi
echo "installed and checked under $prefix"
