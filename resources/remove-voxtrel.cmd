@echo off
rem Removes the Voxtrel agent unattended (see "Running it unattended" in README.md); the exit
rem code is the footprint check's. Each run writes its transcripts into a folder no earlier run
rem used, inside one that only SYSTEM and Administrators may open.
setlocal EnableExtensions DisableDelayedExpansion
set "logs=%SystemRoot%\voxtrel-force-remove-logs"
if not exist "%logs%\" mkdir "%logs%"
if not exist "%logs%\" exit /b 1
"%SystemRoot%\System32\icacls.exe" "%logs%" /inheritance:r /grant:r "*S-1-5-18:(OI)(CI)F" "*S-1-5-32-544:(OI)(CI)F" >NUL
if errorlevel 1 exit /b
rem The date and time as this machine writes them, made fit for a file name.
set "stamp=%DATE%_%TIME%"
set "stamp=%stamp:/=-%"
set "stamp=%stamp:\=-%"
set "stamp=%stamp::=-%"
set "stamp=%stamp:.=-%"
set "stamp=%stamp:,=-%"
set "stamp=%stamp: =-%"
set "stamp=%stamp:_-=_%"
set /a attempt=0
:next_name
set /a attempt+=1
if %attempt% gtr 50 exit /b 1
set "run=%logs%\%stamp%-%attempt%"
mkdir "%run%" 2>NUL
if errorlevel 1 goto next_name
echo Transcripts: "%run%"
"%~dp0voxtrel-force-remove.exe" < NUL > "%run%\voxtrel-force-remove.log" 2>&1
"%~dp0voxtrel-footprint.exe" > "%run%\voxtrel-footprint.log" 2>&1
