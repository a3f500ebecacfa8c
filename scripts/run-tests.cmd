@echo off
rem The unit test bundle's runner (scripts/package-tests.sh puts it beside the test programs).
rem Runs every test program in this folder, prints each one's output and result, then a summary;
rem exits with 1 when a program failed. Cases that need an administrator, an NTFS drive or real
rem Windows skip with their reason otherwise.
setlocal EnableDelayedExpansion
cd /d "%~dp0"
set programs=0
set failed=0
for %%p in (*_tests.exe) do (
  set /a programs+=1
  echo.
  echo ==== %%~np
  "%%p"
  if errorlevel 1 (
    set /a failed+=1
    echo ==== %%~np: FAILED
  ) else (
    echo ==== %%~np: passed
  )
)
echo.
if %programs% == 0 (
  echo No test programs found beside run-tests.cmd.
  exit /b 1
)
if %failed% == 0 (
  echo All %programs% test programs passed.
  exit /b 0
)
echo %failed% of %programs% test programs FAILED.
exit /b 1
