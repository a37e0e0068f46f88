@echo off
rem A procedure with a planted mistake, for `simbook explore`: it means to leave the wireless LAN
rem and the wireless switch on, but a notebook whose wireless LAN is on already is left alone,
rem whatever its switch. Every ready machine passes; a machine with the LAN on and the switch off
rem ends with exit 0 and the switch still off.
rem   0  the wireless LAN is on (the mistake: the switch may not be)
rem   4  brenvik failed
rem tolmare's exit status is a bit mask: WLAN is bit 16.
tolmare.exe >nul
set /a status=%ERRORLEVEL%
if %status% LSS 0 goto enable
set /a "wlan=(status >> 16) & 1"
if %wlan% EQU 1 (echo wireless LAN on already & exit /b 0)
:enable
brenvik.exe /wl:ENABLE /ws:ENABLE
set /a status=%ERRORLEVEL%
echo.
if %status% NEQ 0 (echo brenvik failed ^(%status%^) & exit /b 4)
echo wireless LAN switched on
exit /b 0
