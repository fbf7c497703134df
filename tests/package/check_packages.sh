#!/usr/bin/env bash
# Builds the packages voltkeep and bellwright from the tracked files (scripts/build-packages.sh), runs
# lintian on them (any error or warning fails), checks what they hold and what their maintainer scripts
# do, runs the packaged programs from the extracted packages, has systemd-analyze verify the unit
# the package ships, and boots the package under a real systemd (tests/package/boot_package.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

bash scripts/build-packages.sh "$work/out"
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
server_deb="$work/out/voltkeep_${version}_${arch}.deb"
editor_deb="$work/out/bellwright_${version}_${arch}.deb"
[ -f "$server_deb" ] && [ -f "$editor_deb" ] || fail "missing .deb files"

# Any override would live in debian/*.lintian-overrides with its reason; none may hide an error.
lintian --fail-on error,warning --display-level '>=warning' --tag-display-limit 0 \
  "$work/out/voltkeep_${version}_${arch}.changes" || fail "lintian found errors or warnings (above)"
echo "lintian: no errors, no warnings"

contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | sort; }
expect_files() {
  local deb=$1; shift
  local listing; listing=$(contents "$deb")
  for f in "$@"; do
    grep -qx -- "$f" <<<"$listing" || fail "$(basename "$deb") lacks $f"
  done
  # No test, benchmark or development tool slipped in.
  if grep -E '/(tst_|vk_bench|vkfleet|vk_editor_shots|vk_systemd_unit|vk_draw_logo)' <<<"$listing"; then
    fail "$(basename "$deb") holds a program that is no part of it"
  fi
}
expect_files "$server_deb" /usr/sbin/Voltkeep /usr/bin/vkpeer /usr/bin/vkconfig /lib/systemd/system/voltkeep.service \
  /usr/share/man/man8/Voltkeep.8.gz /usr/share/man/man1/vkpeer.1.gz /usr/share/man/man1/vkconfig.1.gz \
  /usr/share/doc/voltkeep/copyright /usr/share/voltkeep/openapi.json /usr/share/voltkeep/voltkeep-alerts.yml \
  /usr/share/voltkeep/voltkeep-dashboard.json
expect_files "$editor_deb" /usr/bin/Bellwright /usr/share/applications/bellwright.desktop \
  /usr/share/icons/hicolor/scalable/apps/bellwright.svg /usr/share/man/man1/Bellwright.1.gz \
  /usr/share/doc/bellwright/copyright
dpkg-deb -f "$server_deb" Depends | grep -q adduser || fail "voltkeep does not depend on adduser"

# The maintainer scripts: the user made the Debian way, the service enabled, and started only where
# systemd runs, stopped on removal, and a purge that removes the user but not the data folder.
dpkg-deb -e "$server_deb" "$work/control"
grep -q 'adduser --system --group' "$work/control/postinst" || fail "postinst makes no system user"
grep -q "deb-systemd-helper enable 'voltkeep.service'" "$work/control/postinst" || fail "postinst does not enable the unit"
grep -q 'if \[ -d /run/systemd/system \]' "$work/control/postinst" || fail "postinst starts the unit without systemd"
grep -q "deb-systemd-invoke stop 'voltkeep.service'" "$work/control/prerm" || fail "prerm does not stop the service"
grep -q 'deluser --system' "$work/control/postrm" || fail "postrm keeps the user on purge"
if grep -Eq 'rm .*(/var/lib|Norvale)' "$work/control/postrm"; then fail "postrm removes the data folder"; fi

# The programs as packaged, run from the extracted packages.
root="$work/root"
dpkg-deb -x "$server_deb" "$root"
dpkg-deb -x "$editor_deb" "$root"
"$root/usr/sbin/Voltkeep" -h | grep -q -- '-e(xec)' || fail "Voltkeep -h"
"$root/usr/bin/vkpeer" --help | grep -q 'list' || fail "vkpeer --help"
"$root/usr/bin/vkconfig" --help | grep -q 'notification add' || fail "vkconfig --help"
shown=$(NORVALE_COMMON_APPDATA="$work/data" "$root/usr/bin/vkconfig" show) || fail "vkconfig show"
grep -q "Configuration file: $work/data/Norvale/Cellwarden/Bellwright.JSON" <<<"$shown" || fail "vkconfig show: $shown"
if ldd "$root/usr/bin/Bellwright" | grep -q 'not found'; then fail "Bellwright misses a library"; fi

unit="$root/lib/systemd/system/voltkeep.service"
for line in 'ExecStart=/usr/sbin/Voltkeep' 'User=voltkeep' 'StateDirectory=Norvale' 'ReadWritePaths=/var/lib/Norvale' \
  'ProtectSystem=strict' 'ProtectHome=yes' 'NoNewPrivileges=yes' 'PrivateTmp=yes' 'Type=notify' 'Alias=Voltkeep.service' \
  'RestartSec=5s'; do
  grep -qx -- "$line" "$unit" || fail "the unit lacks $line"
done
# verify looks up the program the unit starts: in a mount namespace of its own, the packaged program
# is put where the unit says; without the rights for one, a copy of the unit names it where it lies.
if unshare --mount --propagation private true 2>/dev/null; then
  verified=$(unshare --mount --propagation private sh -c \
    'mount -t tmpfs tmpfs /usr/sbin && cp "$1/usr/sbin/Voltkeep" /usr/sbin/ && systemd-analyze verify "$2"' \
    sh "$root" "$unit" 2>&1) || fail "systemd-analyze: $verified"
else
  sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$unit" > "$work/voltkeep.service"
  verified=$(systemd-analyze verify "$work/voltkeep.service" 2>&1) || fail "systemd-analyze: $verified"
fi
if grep -qi voltkeep <<<"$verified"; then fail "systemd-analyze: $verified"; fi

bash tests/package/boot_package.sh "$server_deb"
echo "package check: voltkeep and bellwright $version built, lintian clean, contents, programs and unit checked"
