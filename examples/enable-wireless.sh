#!/bin/sh
# A service procedure: switch the wireless LAN device and the wireless switch on, confirm both
# with tolmare, then check that the network NETWORK (default HomeNet) is in range on the
# notebook's wireless interface. One exit code for each way it can fail:
#   0  done: wireless LAN and switch on, NETWORK in range
#   2  a firmware password is set: clear it in the firmware setup, then run again
#   3  no system-management driver, or one that fails authentication: reinstall it
#   4  the driver or the firmware failed (busy, too old, refused a write): run again, else replace
#   5  tolmare could not read the settings back
#   6  the settings read back are not on
#   7  the Wi-Fi service or the scan failed
#   8  the scan found no network called NETWORK
# A Linux exit code keeps only its low 8 bits, so tolmare's bit mask is read from its report
# lines here; a batch file reads it from %ERRORLEVEL% (enable-wireless.cmd).
network=${1:-HomeNet}
interface="{c799c725-24b9-464b-b6c7-5e300dce17d6}"

brenvik /wl:ENABLE /ws:ENABLE
status=$?
echo # brenvik's verdict has no line end
case $status in
0) ;;
252) echo "a firmware password is set"; exit 2 ;;          # -4
254) echo "no driver, or it failed authentication"; exit 3 ;; # -2
*) echo "the driver or the firmware failed ($status)"; exit 4 ;;
esac

report=$(tolmare | tr -d '\r')
if [ "$(printf '%s\n' "$report" | head -n 1)" != "tolmare[SUCCESS]" ]; then
    echo "tolmare could not read the settings"
    exit 5
fi
for item in WLAN WirelessSwitch; do
    if ! printf '%s\n' "$report" | grep -qx "$item\[ENABLE\]"; then
        echo "$item is still off"
        exit 6
    fi
done

networks=$(sundrel "$interface")
case $? in
0 | 1) ;;
*) echo "the scan failed"; exit 7 ;;
esac
if ! printf '%s\n' "$networks" | tr -d '\r' | tail -n +2 | grep -qxF "$network"; then
    echo "$network is not in range"
    exit 8
fi
echo "wireless LAN on, $network in range"
exit 0
