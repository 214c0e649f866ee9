#!/bin/sh
# getnetworkpara.sh IFACE mac
#
# Prints the MAC address of network interface IFACE as six groups of two lower-case
# hexadecimal digits separated by ':' and a line end (00:1a:2b:3c:4d:5e), read from
# /sys/class/net/IFACE/address. The osl layer runs it as "./config/getnetworkpara.sh eth0 mac"
# from the application's working directory and reads the first 31 bytes of its output.
#
# Exit status: 0 printed, 1 bad arguments, 2 no such interface or no usable address. Nothing is
# printed on standard output on failure; the reason goes to standard error.

usage() {
    echo "usage: $0 IFACE mac" >&2
    exit 1
}

[ $# -eq 2 ] || usage
iface=$1
what=$2

# An interface name is a single path component of at most 15 bytes.
case "$iface" in
    ''|.|..|*/*) usage ;;
esac
[ ${#iface} -le 15 ] || usage

case "$what" in
    mac) ;;
    *) usage ;;
esac

file="/sys/class/net/$iface/address"
if [ ! -r "$file" ]; then
    echo "$0: no interface '$iface'" >&2
    exit 2
fi

mac=$(tr 'A-F' 'a-f' < "$file")
case "$mac" in
    [0-9a-f][0-9a-f]:[0-9a-f][0-9a-f]:[0-9a-f][0-9a-f]:[0-9a-f][0-9a-f]:[0-9a-f][0-9a-f]:[0-9a-f][0-9a-f])
        printf '%s\n' "$mac"
        ;;
    *)
        echo "$0: '$iface' has no Ethernet address" >&2
        exit 2
        ;;
esac
