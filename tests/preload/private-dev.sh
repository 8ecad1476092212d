#!/bin/sh
# Runs a command (as root) in a private mount namespace with a fresh /dev
# (its device nodes bound from the real one, room for a /dev/log of its
# own) and a fresh /run, so that the syslog and journal daemons it starts
# are seen by nothing outside.   private-dev.sh COMMAND [ARGS...]
[ "$PRIVATE_DEV" = 1 ] || PRIVATE_DEV=1 exec unshare -m sh "$0" "$@"
set -e
old=$(mktemp -d)
mount --make-rprivate /
mount --rbind /dev "$old"
mount -t tmpfs -o mode=755 tmpfs /dev
for n in null zero full random urandom tty; do touch /dev/$n; mount --bind "$old/$n" /dev/$n; done
mkdir /dev/shm /dev/pts
mount --rbind "$old/shm" /dev/shm
mount --rbind "$old/pts" /dev/pts
ln -s /proc/self/fd /dev/fd
mount -t tmpfs tmpfs /run
[ -d /var/log/journal ] && mount -t tmpfs tmpfs /var/log/journal
mkdir -p /run/systemd/journal
exec "$@"
