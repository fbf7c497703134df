#!/usr/bin/env bash
# The voltkeep package under a real systemd: a Debian 12 root with systemd, booted with systemd-nspawn
# on a throw-away overlay and a network of its own (loopback only), the package installed into it with
# dpkg as an administrator would. Checks that systemd marks the service active only at READY, that it
# runs as voltkeep, stores reports over TCP and UDP, picks a vkconfig change up, serves its HTTP API with
# TLS on all addresses, mails an alert over STARTTLS to a receiver its system's authorities vouch for,
# keeps its reports in PostgreSQL, is restarted by its watchdog, stops cleanly with Voltkeep -t, that Voltkeep -u
# leaves the package's unit alone, and that systemd-analyze security rates the unit at most 2.5.
#   bash tests/package/boot_package.sh <voltkeep .deb>
# The root is made once with debootstrap and kept in a cache folder ($VK_BOOT_CACHE, by default
# ~/.cache/voltkeep-boot), keyed by its package list; the overlay leaves it as it was. Without root,
# systemd-nspawn or debootstrap the test says why and skips.
set -euo pipefail
deb=$(realpath "$1")
started=$SECONDS

skip() { echo "boot test: skipped: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "booting a container takes root"
command -v systemd-nspawn > /dev/null || skip "no systemd-nspawn (Debian's systemd-container)"
command -v debootstrap > /dev/null || skip "no debootstrap"

work=$(mktemp -d)
chmod 711 "$work" # PostgreSQL runs as nobody in a folder of its own here
nspawn=
smtp=
pg=
cleanup() {
  [ -n "$smtp" ] && kill "$smtp" 2> /dev/null || true
  [ -n "$pg" ] && runuser -u nobody -- "$pg/pg_ctl" -D "$work/pg/data" -m immediate -w stop > /dev/null 2>&1 || true
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2> /dev/null; then
    kill -TERM "$nspawn" 2> /dev/null || true
    wait "$nspawn" 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "boot test: $*" >&2
  if [ -n "${pid1:-}" ]; then
    guest journalctl -u voltkeep --no-pager -n 40 >&2 || true
  fi
  exit 1
}

# systemd and D-Bus to boot, the package's own dependencies so that dpkg installs it without a mirror.
depends=$(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/[[:space:]]//g')
# The PostgreSQL driver the package suggests, for the shared store.
packages="systemd,dbus,$depends,libqt6sql6-psql"
cache=${VK_BOOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/voltkeep-boot}
key=$(printf 'bookworm minbase %s\n' "$packages" | sha256sum | cut -c1-16)
root="$cache/$key"
if [ ! -x "$root/usr/lib/systemd/systemd" ]; then
  echo "boot test: making the Debian 12 root ($packages) in $root"
  mkdir -p "$cache"
  # Roots of other package lists are of no more use.
  find "$cache" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
  partial="$cache/partial-$key"
  debootstrap --variant=minbase --include=systemd,dbus bookworm "$partial" http://deb.debian.org/debian \
    > "$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; exit 1; }
  chroot "$partial" env -i PATH=/usr/sbin:/usr/bin DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends ${depends//,/ } libqt6sql6-psql > "$work/apt.log" 2>&1 ||
    { tail -20 "$work/apt.log"; exit 1; }
  chroot "$partial" apt-get clean
  mv "$partial" "$root"
fi

# --keep-unit --register=no: nothing of the host's systemd (machined, a scope) is needed or touched.
systemd-nspawn --quiet --directory="$root" --boot --keep-unit --register=no --volatile=overlay \
  --private-network --console=passive --bind-ro="$(dirname "$deb")":/packages > "$work/console.log" 2>&1 &
nspawn=$!
# The guest's systemd is the child of nspawn whose name is systemd: nspawn forks a helper first, which
# forks it and ends, so the first child seen may be that helper.
pid1=
for _ in $(seq 300); do
  for child in $(pgrep -P "$nspawn" || true); do
    [ "$(cat "/proc/$child/comm" 2> /dev/null)" = systemd ] && pid1=$child
  done
  [ -n "$pid1" ] && break
  kill -0 "$nspawn" 2> /dev/null || break
  sleep 0.1
done
if [ -z "$pid1" ]; then
  # Where a container cannot be made (no privileges in a container of its own, say), nspawn says why.
  kill -0 "$nspawn" 2> /dev/null ||
    skip "systemd-nspawn could not boot the root: $(tail -3 "$work/console.log" | tr '\n' ' ')"
  fail "no systemd in the container within 30 s: $(tail -3 "$work/console.log" | tr '\n' ' ')"
fi
guest() { nsenter --target "$pid1" --all env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
# Host programs (curl, openssl) in the guest's network, which only the guest's loopback is in.
in_guest_network() { nsenter --target "$pid1" --net "$@"; }
property() { guest systemctl show --property="$1" --value voltkeep.service; }
# Polls until the command succeeds: at most 30 s.
await() {
  local what=$1; shift
  for _ in $(seq 300); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "$what did not happen within 30 s"
}
booting() { case "$(guest timeout 10 systemctl is-system-running --wait 2> /dev/null)" in running|degraded) ;; *) false ;; esac; }
await "the guest's boot" booting
booted=$SECONDS

# apt install as the README says: dpkg, with every dependency already in the root.
installed=$(guest env DEBIAN_FRONTEND=noninteractive dpkg -i "/packages/$(basename "$deb")" 2>&1) ||
  fail "dpkg -i: $installed"

# Type=notify: the start that dpkg waited for ended at READY=1, with the status line the server sent.
[ "$(property ActiveState)" = active ] || fail "voltkeep.service is $(property ActiveState) after the install"
property StatusText | grep -q 'Accepting connections on port: 9362' || fail "status: $(property StatusText)"
main=$(property MainPID)
[ "$(guest stat -c %U "/proc/$main")" = voltkeep ] || fail "the server runs as $(guest stat -c %U "/proc/$main")"
guest grep -q '^CapEff:[[:space:]]*0*$' "/proc/$main/status" || fail "the server has capabilities"

# The sandbox as systemd rates it.
guest systemd-analyze security --no-pager voltkeep.service > "$work/security.txt" 2>&1 || true
score=$(sed -n 's/.*Overall exposure level for voltkeep.service: \([0-9.]*\).*/\1/p' "$work/security.txt")
[ -n "$score" ] || fail "systemd-analyze security: $(tail -3 "$work/security.txt")"
awk -v s="$score" 'BEGIN { exit !(s <= 2.5) }' || fail "systemd-analyze security rates the unit $score (above 2.5)"

# Reports over both transports, stored and listed.
guest vkpeer --host 127.0.0.1 report --serial 0000420123456789 --health 90 --alias "Boot TCP" ||
  fail "vkpeer report over TCP"
guest vkpeer --host 127.0.0.1 report --udp --serial 0000420123456790 --health 70 --alias "Boot UDP" ||
  fail "vkpeer report over UDP"
listed() { [ "$(guest vkpeer --host 127.0.0.1 list --csv | grep -c 'Boot [TU][CD]P')" = 2 ]; }
await "the two reports' listing" listed

# A vkconfig change, picked up by the running server and logged under the unit's name.
guest vkconfig recipient add "Fleet desk" fleet@example.test > /dev/null || fail "vkconfig recipient add"
guest vkconfig notification add "Boot report" --daily 07:00 --to "Fleet desk" > /dev/null ||
  fail "vkconfig notification add"
await "the server's reading of the changed configuration" \
  guest sh -c 'journalctl -u voltkeep --no-pager | grep -q "Notification \"Boot report\" is next due"'

# The HTTP API with TLS and a token on all addresses, which is what the server only serves with both.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout "$work/server.key" \
  -out "$work/server.crt" 2> /dev/null
guest install -d -o voltkeep -g voltkeep -m 700 /etc/voltkeep/tls
for f in server.key server.crt; do
  guest sh -c "cat > /etc/voltkeep/tls/$f && chown voltkeep:voltkeep /etc/voltkeep/tls/$f && chmod 600 /etc/voltkeep/tls/$f" \
    < "$work/$f"
done
guest sh -c 'printf "\n[http]\nlisten=0.0.0.0:9363\ntoken=boot-test-token\ncertificate=/etc/voltkeep/tls/server.crt\nkey=/etc/voltkeep/tls/server.key\n" \
  >> /var/lib/Norvale/Voltkeep/vk.cfg'
# The mail receiver's certificate where update-ca-certificates puts an authority, before the restart
# that makes the server read the system's authorities.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$work/smtp.key" -out "$work/smtp.crt" 2> /dev/null
guest mkdir -p /etc/ssl/certs
guest sh -c "cat > /etc/ssl/certs/$(openssl x509 -hash -noout -in "$work/smtp.crt").0" < "$work/smtp.crt"
guest systemctl restart voltkeep || fail "restart with TLS"
api() { in_guest_network curl -sf --cacert "$work/server.crt" -H 'Authorization: Bearer boot-test-token' \
  https://localhost:9363/api/v1/batteries; }
await "an answer of the HTTP API over TLS" api
api | grep -q 'Boot TCP' || fail "the API's answer: $(api)"

# Mail over STARTTLS from inside the sandbox, to the receiver an authority of the system vouches for:
# the unit must still read the system's authorities.
mkdir "$work/mail"
mkfifo "$work/smtp.in"
in_guest_network /usr/bin/python3 "$(dirname "$0")/../support/smtp_server.py" --port 2525 --maildir "$work/mail" \
  --tls starttls --cert "$work/smtp.crt" --key "$work/smtp.key" < "$work/smtp.in" > "$work/smtp.out" 2>&1 &
smtp=$!
exec 5> "$work/smtp.in" # its standard input stays open until the test ends
await "the mail receiver's start" grep -q PORT "$work/smtp.out"
anew() { guest sh -c 'journalctl -u voltkeep --no-pager | grep -c "the notifications are planned anew"' || true; }
before=$(anew)
replanned() { [ "$(anew)" -gt "$before" ]; }
guest vkconfig smtp --server 127.0.0.1 --port 2525 --security starttls --no-auth --sender-name "Boot test" \
  --sender-email voltkeep@example.test > /dev/null || fail "vkconfig smtp"
guest vkconfig notification add "Boot alert" --alert Poor --to "Fleet desk" > /dev/null || fail "vkconfig alert"
await "the server's reading of the alert" replanned
guest vkpeer --host 127.0.0.1 report --serial 0000420123456789 --capacity 2000 --alias "Boot TCP" ||
  fail "vkpeer report of a Poor battery"
mailed() { grep -ls '"tls": true' "$work"/mail/msg-*.json; }
await "the alert's mail over STARTTLS" mailed

# The shared store: PostgreSQL (the host's, run as nobody in the guest's network) takes the reports.
pg=/usr/lib/postgresql/15/bin
mkdir -m 777 "$work/pg"
runuser -u nobody -- "$pg/initdb" -D "$work/pg/data" -U voltkeep --auth=trust --no-sync > "$work/pg/initdb.log" 2>&1 ||
  fail "initdb: $(tail -3 "$work/pg/initdb.log")"
in_guest_network runuser -u nobody -- "$pg/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w \
  -o "-p 5433 -c listen_addresses=127.0.0.1 -c unix_socket_directories=$work/pg -c fsync=off" start > /dev/null ||
  fail "pg_ctl start: $(tail -3 "$work/pg/log")"
psql_guest() { in_guest_network "$pg/psql" -h 127.0.0.1 -p 5433 -U voltkeep -tAc "$@"; }
psql_guest "CREATE DATABASE voltkeep" -d postgres > /dev/null || fail "CREATE DATABASE"
guest sh -c 'printf "\n[store]\ndriver=postgresql\nhost=127.0.0.1\nport=5433\ndatabase=voltkeep\nuser=voltkeep\nsslmode=disable\n" \
  >> /var/lib/Norvale/Voltkeep/vk.cfg'
guest systemctl restart voltkeep || fail "restart with the shared store"
guest vkpeer --host 127.0.0.1 report --serial 0000420123456791 --health 80 --alias "Boot shared" ||
  fail "vkpeer report into the shared store"
# The record holds the alias "Boot shared".
shared() { [ "$(psql_guest "SELECT count(*) FROM batteries WHERE position('\\x426f6f7420736861726564'::bytea IN record) > 0" \
  -d voltkeep)" = 1 ]; }
await "the report's row in PostgreSQL" shared

# The watchdog: pings under the sandbox, and a stuck server restarted, not before RestartSec. Killed
# rather than aborted, which would leave a core dump to the host's handler.
guest mkdir -p /run/systemd/system/voltkeep.service.d
guest sh -c 'printf "[Service]\nWatchdogSec=2s\nWatchdogSignal=SIGKILL\n" > /run/systemd/system/voltkeep.service.d/watchdog.conf'
guest systemctl daemon-reload
guest systemctl restart voltkeep
ping=$(property WatchdogTimestampMonotonic)
pinged() { [ "$(property WatchdogTimestampMonotonic)" != "$ping" ]; }
await "a watchdog ping" pinged
stuck=$(property MainPID)
guest sh -c "kill -STOP $stuck"
stopped_at=$SECONDS
restarted() { [ "$(property NRestarts)" = 1 ] && [ "$(property ActiveState)" = active ]; }
await "the watchdog's restart" restarted
[ $((SECONDS - stopped_at)) -ge 5 ] || fail "restarted $((SECONDS - stopped_at)) s after the stop, before RestartSec"
guest sh -c 'journalctl -u voltkeep --no-pager | grep -q "Watchdog timeout"' || fail "no watchdog timeout in the journal"
guest rm -r /run/systemd/system/voltkeep.service.d
guest systemctl daemon-reload

# Voltkeep -u leaves the package's unit enabled and running, and says who installed it.
if refused=$(guest Voltkeep -u 2>&1); then fail "Voltkeep -u succeeded on the package's unit: $refused"; fi
grep -q 'installed by the voltkeep package: use apt remove voltkeep' <<<"$refused" || fail "Voltkeep -u: $refused"
[ "$(guest systemctl is-enabled voltkeep.service)" = enabled ] || fail "voltkeep.service is no longer enabled"
guest test -L /etc/systemd/system/Voltkeep.service || fail "Voltkeep -u removed the alias Voltkeep.service"
[ "$(property ActiveState)" = active ] || fail "voltkeep.service is $(property ActiveState) after Voltkeep -u"

# A clean stop through the alias, and a second one that says it could not.
guest Voltkeep -t || fail "Voltkeep -t"
[ "$(property ActiveState)" = inactive ] || fail "voltkeep.service is $(property ActiveState) after Voltkeep -t"
[ "$(property Result)" = success ] && [ "$(property ExecMainStatus)" = 0 ] ||
  fail "the stop ended with $(property Result), status $(property ExecMainStatus)"
if guest Voltkeep -t 2> /dev/null; then fail "Voltkeep -t on a stopped service exited with 0"; fi

echo "boot test: booted in $((booted - started)) s; active at READY as voltkeep, reports stored, configuration" \
  "followed, API over TLS, alert mailed over STARTTLS, PostgreSQL store, watchdog restart, clean stop, -u refused, security $score; $((SECONDS - started)) s in all"
