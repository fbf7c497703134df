#!/usr/bin/env bash
# Screenshots of the notification mails as a reader sees them: starts the real server on a synthetic fleet
# of 500 batteries with a local mail catcher (aiosmtpd, loopback only), sets up a daily report due in 20
# seconds and an alert to Poor with vkconfig, makes one battery fall with vkpeer, and has headless chromium
# render the HTML part of each mail (the logo put in place of its cid: reference) into the folder, with
# the plain-text part beside it as a .txt file.
#   bash scripts/mail-shots.sh <folder>        (BUILD_DIR selects the build folder, default "build")
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <folder for the PNG files>" >&2
  exit 2
fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
cd "$(dirname "$0")/.."

source scripts/shots-common.sh
build_targets Voltkeep vkfleet vkconfig_program vkpeer

data="$(mktemp -d)"
server_pid=
smtp_pid=
cleanup() {
  for pid in $server_pid $smtp_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$data"
}
trap cleanup EXIT

radio_port="$(free_port)"
http_port="$(free_port)"
smtp_port="$(free_port)"
mkdir -p "$data/mails"
/usr/bin/python3 - "$smtp_port" "$data/mails" <<'PY' &
import asyncio, sys, itertools
from aiosmtpd.controller import Controller
count = itertools.count(1)
class Keep:
    async def handle_DATA(self, server, session, envelope):
        with open("%s/%02d.eml" % (sys.argv[2], next(count)), "wb") as f:
            f.write(envelope.original_content)
        return "250 kept"
controller = Controller(Keep(), hostname="127.0.0.1", port=int(sys.argv[1]))
controller.start()
asyncio.new_event_loop().run_forever()
PY
smtp_pid=$!

export NORVALE_COMMON_APPDATA="$data"
base="http://127.0.0.1:$http_port"
mkdir -p "$data/Norvale/Voltkeep"
printf '[General]\nport=%s\n[http]\nlisten=127.0.0.1:%s\npublicUrl=%s\n' "$radio_port" "$http_port" "$base" \
  > "$data/Norvale/Voltkeep/vk.cfg"
# vkfleet adds the [sites] its chargers stand at and the names of its types.
"$build/tools/fleet/vkfleet" --batteries 500 --days 365 --seed 11
vkconfig="$build/tools/config/vkconfig"
"$vkconfig" smtp --server 127.0.0.1 --port "$smtp_port" --security none --no-auth \
  --sender-name Voltkeep --sender-email voltkeep@example.test
"$vkconfig" recipient add "Fleet desk" fleet@example.test
"$vkconfig" notification add "Poor battery" --alert Poor --to "Fleet desk"
: > "$data/server.log"
"$build/server/Voltkeep" -e 2> "$data/server.log" &
server_pid=$!
for _ in $(seq 100); do
  grep -q "Accepting connections" "$data/server.log" && break
  sleep 0.1
done

# The report in 20 seconds; the alert from the battery due soonest, falling from Fair to Poor.
"$vkconfig" notification add "Morning report" --daily "$(date -d "+20 seconds" +%H:%M:%S)" --full --to "Fleet desk"
key="$(curl -fsS "$base/" | grep -o '/batteries/[0-9A-F]\{16\}' | head -n 1 | cut -d/ -f3)"
curl -fsS "$base/api/v1/batteries/$key" | /usr/bin/python3 -c '
import json, sys
b = json.load(sys.stdin)
print(b["serial"], b["esn"], b["typeCode"], b["alias"], sep="\n")' > "$data/battery"
{ read -r serial; read -r esn; read -r type; read -r alias; } < "$data/battery"
"$build/tools/peer/vkpeer" -p "$radio_port" report --serial "$serial" --esn "$esn" --type "$type" --alias "$alias" \
  --health 79 --cycles 420 >/dev/null
for _ in $(seq 900); do
  [ "$(ls "$data/mails" | wc -l)" -ge 2 ] && break
  sleep 0.1
done

for mail in "$data"/mails/*.eml; do
  /usr/bin/python3 - "$mail" "$data" <<'PY'
import base64, email, html as markup, sys
from email import policy
message = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=policy.default)
name = "mail-alert" if message["Subject"].startswith("Battery alert") else "mail-report"
html = message.get_body(("html",)).get_content()
text = message.get_body(("plain",)).get_content()
for part in message.walk():
    if part.get("Content-ID") == "<tamsel>":
        html = html.replace("cid:tamsel", "data:image/png;base64," + base64.b64encode(part.get_content()).decode())
head = "<p style='font:13px sans-serif;color:#555'>Subject: %s<br>From: %s<br>To: %s</p>" % tuple(
    markup.escape(str(message[h])) for h in ("Subject", "From", "To"))
open("%s/%s.html" % (sys.argv[2], name), "w").write("<meta charset='utf-8'>" + head + html)
open("%s/%s.txt" % (sys.argv[2], name), "w").write(text)
print(name)
PY
done

for shot in mail-report:1400 mail-alert:520; do
  name="${shot%%:*}"
  chromium_shot "$out/$name.png" 900 "${shot##*:}" "file://$data/$name.html"
  cp "$data/$name.txt" "$out/$name.txt"
done
