#!/bin/sh
# Prints one line per event of every camera of the site, as the broker tells them:
#   time  camera  start|end  id  peak%
# and runs a command of your own on each start, for example:
#   VIDEO_ON_START='notify-send "Movement: $camera"' sh video-events.sh broker.lan
# Needs mosquitto_sub (Debian: mosquitto-clients) and jq. The user and the password file
# are the reader's (MQTT_USER, MQTT_PASSWORD_FILE), as the site's broker asks for a login.
set -eu
broker=${1:-localhost}
port=${2:-1883}
login=""
if [ -n "${MQTT_USER:-}" ]; then
  login="-u $MQTT_USER -P $(head -n 1 "${MQTT_PASSWORD_FILE:?the reader's password file}")"
fi
# -v puts the topic before the message: video/<camera>/event {...}. A session of its own
# (-c with a fixed id) gets, once back, the events published while it was away.
# shellcheck disable=SC2086 # the login is words on purpose
mosquitto_sub -h "$broker" -p "$port" $login -c -i "video-events-$(hostname)" -q 1 -v -t 'video/+/event' |
  while read -r topic message; do
    camera=${topic#video/}
    camera=${camera%/event}
    line=$(printf '%s' "$message" | jq -r '[.time // "", .event, (.id | tostring), ((.peakPercent // .percent // 0) | tostring)] | @tsv')
    printf '%s\t%s\n' "$camera" "$line"
    event=$(printf '%s' "$message" | jq -r .event)
    if [ "$event" = start ] && [ -n "${VIDEO_ON_START:-}" ]; then
      camera=$camera sh -c "$VIDEO_ON_START" || true
    fi
  done
