#!/bin/sh
# Runs as root through pkexec: /bin/sh -c TEXT velto-verified-installer
#   PATH DIGEST SIZE [--check]
# The staged PATH belongs to the invoking user, so it is never handed to
# apt-get: a bounded copy in a fresh root-owned directory is proven against
# DIGEST and SIZE, and only that copy is installed.
set -eu

if [ "$(/usr/bin/id -u)" != 0 ]; then
  exit 1
fi

if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  exit 2
fi

# Explicit character lists: bracket ranges would depend on the locale.
case $2 in
  '' | *[!0123456789abcdef]*) exit 2 ;;
esac
if [ ${#2} -ne 64 ]; then
  exit 2
fi

case $3 in
  '' | *[!0123456789]*) exit 2 ;;
esac
# Compare without the leading zeros and only up to nine digits, so that a
# huge number is refused without overflowing the shell's integers.
size_digits=${3#"${3%%[!0]*}"}
if [ -z "$size_digits" ] || [ ${#size_digits} -gt 9 ] ||
  [ "$size_digits" -gt 268435456 ]; then
  exit 2
fi

mode=${4-}
case $mode in
  '' | --check) ;;
  *) exit 2 ;;
esac

# The traps are in place before the directory exists, so that no signal can
# arrive between its creation and the clean-up being armed.
workdir=
trap 'if [ -n "$workdir" ]; then
  /bin/rm -f -- "$workdir/package.deb" || :
  /bin/rmdir -- "$workdir" || :
fi' EXIT
# PIPE too: once nobody reads this script's output (the setup program has
# ended), the shell's own note that apt-get was killed ("Terminated") would
# otherwise end it by SIGPIPE before the EXIT trap could clean up. A trapped
# signal is back at its default in the commands the shell runs.
trap 'exit 130' HUP INT PIPE TERM

workdir=$(/usr/bin/mktemp -d /var/tmp/velto-install.XXXXXXXX) || exit 1
package=$workdir/package.deb

# One byte more than expected is enough to prove a source too long; a pipe or
# device in place of the file stalls into the time limit or has the wrong size.
/usr/bin/timeout 30 /usr/bin/head -c $(($3 + 1)) -- "$1" >"$package"

copied=$(/usr/bin/stat -c %s -- "$package")
if [ "$copied" != "$3" ]; then
  exit 1
fi

printf '%s  %s\n' "$2" "$package" | /usr/bin/sha256sum --check --status

if [ "$mode" = --check ]; then
  exit 0
fi

/usr/bin/apt-get install -y "$package"
