#!/bin/sh
# Usage: install_into_root ROOT
# Makes a root prefix usable by the applets: links the bus programs and the service stand-ins
# built next to this script into ROOT/usr/bin (and ubusd into ROOT/usr/sbin), and the stand-in
# script into ROOT/lib/functions/dynamic_usi_update.sh. Existing links are replaced.
set -e
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "Usage: $0 ROOT" >&2
    exit 1
fi
root=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$root/usr/bin" "$root/usr/sbin" "$root/lib/functions" "$root/var/run/ubus" "$root/tmp/services"
for prog in ubus eventd smsd digital_io ch343_gpio_control; do
    if [ ! -x "$here/$prog" ]; then
        echo "$0: $here/$prog is missing (build it first)" >&2
        exit 1
    fi
    ln -sf "$here/$prog" "$root/usr/bin/$prog"
done
if [ ! -x "$here/ubusd" ]; then
    echo "$0: $here/ubusd is missing (build it first)" >&2
    exit 1
fi
ln -sf "$here/ubusd" "$root/usr/sbin/ubusd"
ln -sf "$here/dynamic_usi_update.sh" "$root/lib/functions/dynamic_usi_update.sh"
