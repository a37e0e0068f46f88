#!/bin/sh
# A procedure with a planted mistake, for `simbook explore`: it means to leave the wireless LAN
# and the wireless switch on, but a notebook whose wireless LAN is on already is left alone,
# whatever its switch. Every ready machine passes; a machine with the LAN on and the switch off
# ends with exit 0 and the switch still off.
#   0  the wireless LAN is on (the mistake: the switch may not be)
#   4  brenvik failed
report=$(tolmare | tr -d '\r')
if printf '%s\n' "$report" | grep -qx 'WLAN\[ENABLE\]'; then
    echo "wireless LAN on already"
    exit 0
fi
brenvik /wl:ENABLE /ws:ENABLE
status=$?
echo # brenvik's verdict has no line end
if [ $status -ne 0 ]; then
    echo "brenvik failed ($status)"
    exit 4
fi
echo "wireless LAN switched on"
exit 0
