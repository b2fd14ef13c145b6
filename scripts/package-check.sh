#!/bin/sh
# Runs inside a fresh Debian root (scripts/package-test.sh): installs the packages in
# /tmp/debs as the README does, checks what they installed, keeps an operator's change to the
# node's configuration across a reinstallation, then removes and purges them and checks that
# nothing is left behind. Argument: the version the programs must report.
set -eu
version=$1

fail() {
    echo "package check: $*" >&2
    exit 1
}

# Everything but the kernel's file systems, the package managers' own records and logs, and
# systemd's runtime state (systemd-analyze leaves a file there).
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /var/cache \
        -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log -o -path /run/systemd \) \
        -prune -o -print |
        sort
}
snapshot >/tmp/before

cd /tmp/debs
apt install -y -q ./nexo*_amd64.deb

# Versions: the daemon has no --version (its command line is fixed), so its package says it.
[ "$(nexoctl --version)" = "nexoctl $version" ] || fail "nexoctl --version: $(nexoctl --version)"
[ "$(nexo-nmos --version)" = "nexo-nmos $version" ] || fail "nexo-nmos --version"
[ "$(dpkg-query -W -f '${Version}' nexo)" = "$version" ] || fail "nexo's package version"
[ -z "$(nexo -h 2>&1)" ] || fail "nexo -h printed something"

man -w 8 nexo >/dev/null && man -w 1 nexoctl >/dev/null && man -w 8 nexo-nmos >/dev/null ||
    fail "a manual page is missing"
MANWIDTH=80 man 8 nexo-nmos 2>/dev/null | grep -q '^CONFIGURATION' || fail "nexo-nmos(8) does not render"

systemd-analyze verify /lib/systemd/system/nexo.service /lib/systemd/system/nexo-nmos.service

# The maintainer scripts' work: the users, the pipes of the control link in the group, enabled
# units.
id -nG nexo-nmos | grep -qw nexo || fail "nexo-nmos is not in the group nexo"
[ -p /run/nexo_wr.p ] && [ -p /run/nexo_rd.p ] || fail "no control pipes"
[ "$(stat -c '%a %U %G' /run/nexo_wr.p)" = "660 root nexo" ] || fail "control pipe: $(stat -c '%a %U %G' /run/nexo_wr.p)"
for u in nexo nexo-nmos; do
    [ -L "/etc/systemd/system/multi-user.target.wants/$u.service" ] || fail "$u.service not enabled"
done

# An upgrade (here: the same version again) keeps the operator's change.
echo 'label = "changed by the operator"' >>/etc/nexo/nmos.conf
dpkg -i nexo-nmos_*_amd64.deb >/dev/null
grep -q '^label = "changed by the operator"' /etc/nexo/nmos.conf || fail "the configuration was replaced"

apt-get remove -y -q nexo nexoctl nexo-nmos >/dev/null
for f in /usr/sbin/nexo /usr/bin/nexoctl /usr/bin/nexo-nmos /lib/systemd/system/nexo.service; do
    [ ! -e "$f" ] || fail "$f left after removal"
done
[ -f /etc/nexo/nmos.conf ] || fail "removal took the configuration"

apt-get purge -y -q nexo nexoctl nexo-nmos >/dev/null
snapshot >/tmp/after
diff /tmp/before /tmp/after || fail "the purge left the files above behind"
echo "package check: installed, checked, removed and purged nexo $version"
