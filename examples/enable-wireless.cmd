@echo off
rem A service procedure: switch the wireless LAN device and the wireless switch on, confirm both
rem with tolmare, then check that the network given as the first argument (default HomeNet) is
rem in range on the notebook's wireless interface. One exit code for each way it can fail:
rem   0  done: wireless LAN and switch on, the network in range
rem   2  a firmware password is set: clear it in the firmware setup, then run again
rem   3  no system-management driver, or one that fails authentication: reinstall it
rem   4  the driver or the firmware failed (busy, too old, refused a write): run again, else replace
rem   5  tolmare could not read the settings back
rem   6  the settings read back are not on
rem   7  the Wi-Fi service or the scan failed
rem   8  the scan found no network of that name
rem Run it from an administrator prompt: brenvik changes firmware settings.
setlocal
set "network=%~1"
if "%network%"=="" set "network=HomeNet"
set "interface={c799c725-24b9-464b-b6c7-5e300dce17d6}"

brenvik.exe /wl:ENABLE /ws:ENABLE
set /a status=%ERRORLEVEL%
echo.
if %status% EQU -4 (echo a firmware password is set & exit /b 2)
if %status% EQU -2 (echo no driver, or it failed authentication & exit /b 3)
if %status% NEQ 0 (echo the driver or the firmware failed ^(%status%^) & exit /b 4)

rem tolmare's exit status is a bit mask: WLAN is bit 16, the wireless switch bit 20.
tolmare.exe >nul
set /a status=%ERRORLEVEL%
if %status% LSS 0 (echo tolmare could not read the settings & exit /b 5)
set /a "wlan=(status >> 16) & 1, switch=(status >> 20) & 1"
if %wlan% NEQ 1 (echo WLAN is still off & exit /b 6)
if %switch% NEQ 1 (echo WirelessSwitch is still off & exit /b 6)

set "list=%TEMP%\networks-%RANDOM%%RANDOM%.txt"
sundrel.exe %interface% >"%list%"
set /a status=%ERRORLEVEL%
if %status% LSS 0 (del "%list%" & echo the scan failed & exit /b 7)
set found=0
for /f "usebackq skip=1 delims=" %%n in ("%list%") do if "%%n"=="%network%" set found=1
del "%list%"
if %found% NEQ 1 (echo %network% is not in range & exit /b 8)
echo wireless LAN on, %network% in range
exit /b 0
