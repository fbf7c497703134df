#!/usr/bin/env bash
# Installs the voltkeep package in a scratch Debian 12 root (debootstrap, then chroot: no systemd runs
# there, as in a container), sets the mail up with vkconfig, runs the server once as the service's user,
# upgrades the package over itself and purges it, showing after each step what is left.
#   bash scripts/try-packages.sh <packages folder> <scratch root>
# The machine itself is not touched; remove the scratch root afterwards (rm -rf).
set -euo pipefail
packages=$(cd "$1" && pwd)
root=$2
deb=$(ls "$packages"/voltkeep_*.deb | tail -1)

if [ ! -x "$root/usr/bin/apt-get" ]; then
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian > "$root.debootstrap.log" 2>&1 ||
    { tail -20 "$root.debootstrap.log"; exit 1; }
fi
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
show() {
  echo "--- $1"
  in_root sh -c 'getent passwd voltkeep || echo "no user voltkeep"; getent group voltkeep || echo "no group voltkeep"
    ls -ldn /var/lib/Norvale 2>/dev/null && find /var/lib/Norvale -mindepth 1 -printf "%M %u:%g %p\n" | sort
    ls -l /lib/systemd/system/voltkeep.service 2>/dev/null || echo "no unit file"
    find /etc/systemd/system -name "*oltkeep*" -printf "%p -> %l\n" | sort
    dpkg-query -W -f="\${Package} \${Version} \${db:Status-Abbrev}\n" voltkeep 2>/dev/null || echo "voltkeep unknown to dpkg"'
}

echo "=== install (no systemd in the root, as in a container)"
in_root apt-get update -qq
in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" | grep -Ev '^(Get|Selecting|Preparing|Unpacking|Setting up|Processing) ' | tail -5
show "after install"

echo "=== vkconfig as root, then the server once as its user"
in_root vkconfig smtp --server 127.0.0.1 --port 2525 --security none --no-auth --sender-name Voltkeep \
  --sender-email voltkeep@example.test
in_root vkconfig recipient add "Fleet desk" fleet@example.test
in_root vkconfig notification add "Morning report" --daily 07:00 --to "Fleet desk" | head -1
# Whole output: a pipe closed early would end the server by SIGPIPE before its stop ran.
in_root timeout -s INT 3 runuser -u voltkeep -- Voltkeep -e 2>&1 || true
show "after vkconfig and a run"

echo "=== upgrade over itself"
in_root dpkg -i "/tmp/$(basename "$deb")" | grep -E 'Preparing|Unpacking|Setting up'
show "after the upgrade"

echo "=== purge"
in_root dpkg --purge voltkeep
show "after purge"
