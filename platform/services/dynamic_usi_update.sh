#!/bin/sh
# Stand-in for /lib/functions/dynamic_usi_update.sh. On the router the script refreshes the status
# values of the named applet in the usi store before another applet reads them; on a host the
# applets write their values themselves, so the call is only recorded, one line per call, in
# $FIELDBRIDGE_ROOT/tmp/services/dynamic_usi_update.log.
if [ $# -lt 1 ] || [ -z "$1" ]; then
    echo "Usage: $0 <applet>" >&2
    exit 1
fi
dir="${FIELDBRIDGE_ROOT}/tmp/services"
mkdir -p "$dir" || exit 1
printf '%s\n' "$*" >> "$dir/dynamic_usi_update.log" || exit 1
exit 0
