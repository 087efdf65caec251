#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The install test: builds the Debian packages from a clean copy of the tree, inspects them and runs
# lintian, upgrades from the settings file shipped before, installs them, starts the daemon the way
# its systemd unit does and talks to it, switches and empties the library slot, then purges both
# packages and checks nothing of theirs is left.
# Run as root from the repository root, after a normal build: tests/install/run.sh BUILD_DIR
# The machine is left as found: a software token already in /var/lib/softtoken and settings left in
# /etc/tokenbridge are put back, and the service's user is removed again when the test made it.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=tests/install
build=$(realpath "${1:?usage: tests/install/run.sh BUILD_DIR}")
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
packages=(tokenbridge tokenbridge-softtoken tokenbridge-pkcs11 tokenbridge-agent)

fail() { echo "install test: FAILED: $*" >&2; exit 1; }
step() { echo "install test: $*"; }

[ "$(id -u)" = 0 ] || fail "needs root (it installs packages)"
for tool in "$build/tests/install/ws_request" "$build/tests/install/libkv_5100rt.so"; do
  [ -e "$tool" ] || fail "$tool is missing: build the tree first"
done
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$'; then
    fail "$p is installed already; this test installs and purges it, so it will not run"
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tokenbridge-install.XXXXXX")
# The package makes the service's user and, as Debian's packages do, keeps it after purge (files
# elsewhere may still be its). A machine that had none gets none back.
service_user=tokenbridge
user_before=$(getent passwd "$service_user" || true)
cleanup() {
  local status=$?
  dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  if [ -z "$user_before" ] && getent passwd "$service_user" >/dev/null; then
    userdel "$service_user" >/dev/null 2>&1 || true
    ! getent group "$service_user" >/dev/null || groupdel "$service_user" >/dev/null 2>&1 || true
  fi
  update-alternatives --remove-all "tokenbridge-skf-$triplet" >/dev/null 2>&1 || true
  # These were moved aside or absent before the test: what is there now is the test's.
  for kept in /var/lib/softtoken /etc/tokenbridge; do
    rm -rf "$kept"
    [ ! -e "$work/saved$kept" ] || mv "$work/saved$kept" "$kept"
  done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
# A software token, or settings files left by an install by hand (dpkg would stop at a conffile it
# does not own): out of the test's way until it ends.
for kept in /var/lib/softtoken /etc/tokenbridge; do
  if [ -e "$kept" ]; then
    mkdir -p "$work/saved$(dirname "$kept")"
    mv "$kept" "$work/saved$kept"
  fi
done

# Every file or directory named after the project outside the source tree: before install, it must be
# the same list after purge. Not the container test's cached Debian tree (container.sh): the test
# makes it on a machine's first run, and no package owns it.
container_cache=/var/cache/tokenbridge-test
traces() {
  find /etc /usr /var /run -xdev -path "$PWD" -prune -o -path "$work" -prune -o -path "$container_cache" -prune -o \
    \( -name '*tokenbridge*' -o -name '*softtoken*' -o -name '*kv_5100rt*' \) -print 2>/dev/null | sort
}
traces >"$work/traces.before"

step "building the packages from a clean copy of the tree (DEB_BUILD_OPTIONS=nocheck)"
mkdir "$work/src"
scripts/copy-tracked.sh "$work/src"
started=$SECONDS
(cd "$work/src" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
  { tail -40 "$work/build.log"; fail "dpkg-buildpackage failed (log above)"; }
step "packages built in $((SECONDS - started)) s"
deb() { echo "$work/${1}_$(dpkg-parsechangelog -l "$work/src/debian/changelog" -SVersion)_${arch}.deb"; }

step "checking the packages' contents"
expect_files() {
  local package=$1
  shift
  printf '%s\n' "$@" | sort >"$work/$package.expected"
  dpkg-deb --fsys-tarfile "$(deb "$package")" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort >"$work/$package.files"
  diff -u "$work/$package.expected" "$work/$package.files" ||
    fail "$package does not hold exactly the expected files (- expected, + found)"
}
doc=/usr/share/doc/tokenbridge
expect_files tokenbridge /usr/sbin/tokenbridged /lib/systemd/system/tokenbridged.service \
  /etc/tokenbridge/tokenbridged.conf /usr/lib/sysusers.d/tokenbridge.conf /lib/udev/rules.d/60-tokenbridge.rules \
  /usr/share/tokenbridge/web/tokenbridge.js /usr/share/tokenbridge/web/tokenbridge.d.ts /usr/share/tokenbridge/web/serve.mjs \
  /usr/share/tokenbridge/web/demo/index.html /usr/share/tokenbridge/web/demo/demo.js \
  /usr/share/tokenbridge/web/demo/demo.css \
  $doc/README.md.gz $doc/README.web.md.gz $doc/README.softtoken.md.gz $doc/changelog.gz $doc/copyright \
  /usr/share/man/man8/tokenbridged.8.gz
expect_files tokenbridge-softtoken /usr/bin/softtoken "/usr/lib/$triplet/tokenbridge/softtoken/libkv_5100rt.so" \
  /usr/share/doc/tokenbridge-softtoken/changelog.gz /usr/share/doc/tokenbridge-softtoken/copyright \
  /usr/share/man/man1/softtoken.1.gz
expect_files tokenbridge-pkcs11 /etc/tokenbridge/pkcs11.conf "/usr/lib/$triplet/tokenbridge/pkcs11/libkv_5100rt.so" \
  /usr/share/doc/tokenbridge-pkcs11/changelog.gz /usr/share/doc/tokenbridge-pkcs11/copyright
expect_files tokenbridge-agent /usr/bin/tokenbridge-agent /etc/xdg/autostart/tokenbridge-agent.desktop \
  /usr/share/doc/tokenbridge-agent/changelog.gz /usr/share/doc/tokenbridge-agent/copyright \
  /usr/share/man/man1/tokenbridge-agent.1.gz
runpath=$(dpkg-deb --fsys-tarfile "$(deb tokenbridge)" | tar -xO ./usr/sbin/tokenbridged >"$work/tokenbridged" &&
  readelf -d "$work/tokenbridged" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = "/usr/lib/$triplet/tokenbridge" ] || fail "tokenbridged's RUNPATH is '$runpath', not the library slot"
# The software token's PINs are well known: a default install of the daemon must not bring it.
! dpkg-deb -f "$(deb tokenbridge)" Depends Recommends | grep -q softtoken || fail "tokenbridge depends on or recommends the software token"
dpkg-deb -f "$(deb tokenbridge-softtoken)" Description | grep -q 'for development and tests' ||
  fail "the software token's description does not say it is for development and tests"

step "lintian"
lintian --fail-on error "$work"/tokenbridge_*.changes >"$work/lintian.txt" 2>&1 ||
  { cat "$work/lintian.txt"; fail "lintian found errors"; }
sed 's/^/  /' "$work/lintian.txt"

step "the packages under a real systemd, in a container"
"$here/container.sh" "$build" "$work"

step "upgrading from the settings file shipped before (every line commented out)"
# That package: this one with the earlier settings file and a lower version. Upgraded, an untouched
# file is replaced by the new one; one the operator changed is kept, the new one beside it.
previous_version=$(dpkg-deb -f "$(deb tokenbridge)" Version | sed 's/$/~before/')
dpkg-deb -R "$(deb tokenbridge)" "$work/previous"
grep -qx /etc/tokenbridge/tokenbridged.conf "$work/previous/DEBIAN/conffiles" || fail "the settings file is not a conffile"
cp "$here/tokenbridged.conf.before-loopback" "$work/previous/etc/tokenbridge/tokenbridged.conf"
sed -i "s/^Version: .*/Version: $previous_version/" "$work/previous/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/previous" "$work/previous.deb" >/dev/null
settings=/etc/tokenbridge/tokenbridged.conf
for operator in left-it changed-it; do
  dpkg -i "$work/previous.deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; fail "installing $previous_version failed"; }
  cmp -s "$settings" "$here/tokenbridged.conf.before-loopback" || fail "$previous_version did not install its settings file"
  [ "$operator" = left-it ] || echo "max-connections = 64" >>"$settings"
  cp "$settings" "$work/settings.before-upgrade"
  dpkg --force-confold -i "$(deb tokenbridge)" </dev/null >>"$work/upgrade.log" 2>&1 ||
    { cat "$work/upgrade.log"; fail "the upgrade failed"; }
  if [ "$operator" = left-it ]; then
    cmp -s "$settings" service/tokenbridged.conf || fail "an untouched settings file was not replaced by the new one"
    [ ! -e "$settings.dpkg-dist" ] || fail "an untouched settings file left $settings.dpkg-dist"
  else
    cmp -s "$settings" "$work/settings.before-upgrade" || fail "the operator's settings file was not kept"
    cmp -s "$settings.dpkg-dist" service/tokenbridged.conf || fail "the new settings file is not beside the operator's"
  fi
  echo "install test: operator $operator: $(grep -c '^listen' "$settings") listen lines in force after the upgrade$([ ! -e "$settings.dpkg-dist" ] || echo ", the new file as $settings.dpkg-dist")"
  dpkg --purge tokenbridge >>"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; fail "purging after the upgrade failed"; }
  [ ! -e /etc/tokenbridge ] || fail "/etc/tokenbridge is left after purging the upgraded package"
done

step "installing both packages"
dpkg -i "$(deb tokenbridge)" "$(deb tokenbridge-softtoken)" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i failed"; }
[ -e /var/lib/softtoken/state.json ] || fail "installing the software token made no token"

step "the service's user, its token and its devices"
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd "$service_user") || fail "installing made no user $service_user"
((uid < 1000)) || fail "$service_user is not a system user (uid $uid)"
[ "$(getent group "$gid" | cut -d: -f1)" = "$service_user" ] || fail "$service_user's group is not $service_user"
[ "$home:$shell" = /var/lib/tokenbridge:/usr/sbin/nologin ] || fail "$service_user has home $home and shell $shell"
owners=$(find /var/lib/softtoken -printf '%u:%g %m %p\n' | sort -k3)
echo "$owners" | sed 's/^/  /'
! echo "$owners" | grep -v "^$service_user:$service_user " || fail "the software token's files are not all $service_user's"
# The udev rule: read without a complaint (udev names the file and line of a bad one or an unknown
# group). No USB device can be plugged here, so it is never seen matching one.
rule=/lib/udev/rules.d/60-tokenbridge.rules
udevadm test --action=add /sys/class/mem/null >"$work/udev.txt" 2>&1 || { cat "$work/udev.txt"; fail "udevadm test failed"; }
grep -q "Reading rules file: .*$(basename "$rule")" "$work/udev.txt" || fail "udev did not read $rule"
! grep "$(basename "$rule")" "$work/udev.txt" | grep -v "Reading rules file" || fail "udev complains about $rule"
if [ -d /run/systemd/system ]; then
  # systemd runs: the unit was enabled and started on install. Stop it so the test starts its own.
  systemctl is-active --quiet tokenbridged.service || fail "the service is not running after install"
  systemctl stop tokenbridged.service
else
  step "systemd is not running (a container): the unit is enabled on disk but was not started"
  [ -L /etc/systemd/system/multi-user.target.wants/tokenbridged.service ] || fail "the unit was not enabled"
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" != /usr/sbin/tokenbridged ] || fail "install started the daemon without systemd"
  done
fi

step "systemd-analyze verify"
systemd-analyze verify /lib/systemd/system/tokenbridged.service >"$work/verify.txt" 2>&1 ||
  { cat "$work/verify.txt"; fail "systemd-analyze verify failed"; }
[ ! -s "$work/verify.txt" ] || { cat "$work/verify.txt"; fail "systemd-analyze verify complained"; }

step "running the installed daemon in a private network and /dev"
unshare -m -n "$here/served.sh" running "$build" "$work"

step "the PKCS#11 library takes the slot over the software token, serves, and gives the slot back"
slot_target() { readlink -f "/usr/lib/$triplet/tokenbridge/libkv_5100rt.so"; }
dpkg -i "$(deb tokenbridge-pkcs11)" >>"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i pkcs11 failed"; }
[ "$(slot_target)" = "/usr/lib/$triplet/tokenbridge/pkcs11/libkv_5100rt.so" ] || fail "slot is $(slot_target), not the PKCS#11 library"
started=$SECONDS
unshare -m -n "$here/served.sh" pkcs11 "$build" "$work"
step "the installed daemon served a SoftHSM2 token through the PKCS#11 library in $((SECONDS - started)) s"
started=$SECONDS
unshare -m -n "$here/served.sh" pcscd "$build" "$work"
step "the installed daemon served a card through OpenSC and pcscd in $((SECONDS - started)) s"
dpkg -r tokenbridge-pkcs11 >>"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -r pkcs11 failed"; }
[ "$(slot_target)" = "/usr/lib/$triplet/tokenbridge/softtoken/libkv_5100rt.so" ] || fail "slot is $(slot_target) after removing the PKCS#11 library"
[ -f /etc/tokenbridge/pkcs11.conf ] || fail "dpkg -r removed the PKCS#11 library's settings (a conffile, kept until purge)"
dpkg --purge tokenbridge-pkcs11 >>"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg --purge pkcs11 failed"; }
[ ! -e /etc/tokenbridge/pkcs11.conf ] || fail "/etc/tokenbridge/pkcs11.conf is left after purging tokenbridge-pkcs11"
[ ! -e "/usr/lib/$triplet/tokenbridge/pkcs11" ] || fail "/usr/lib/$triplet/tokenbridge/pkcs11 is left after purge"
! update-alternatives --list "tokenbridge-skf-$triplet" | grep -q /pkcs11/ ||
  fail "the slot still offers the PKCS#11 library after purge"
[ "$(dpkg-query -W -f='${db:Status-Status}' tokenbridge-pkcs11 2>/dev/null || echo not-installed)" = not-installed ] ||
  fail "tokenbridge-pkcs11 is not purged"

step "removing the software token: its state stays, the slot is empty"
dpkg -r tokenbridge-softtoken >>"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -r failed"; }
[ -e /var/lib/softtoken/state.json ] || fail "dpkg -r removed the token's state file"
unshare -m -n "$here/served.sh" empty-slot "$build" "$work"

step "purging both packages"
dpkg --purge "${packages[@]}" >>"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg --purge failed"; }
traces >"$work/traces.after"
diff -u "$work/traces.before" "$work/traces.after" || fail "files of the packages are left after purge (+ lines)"
step "passed"
