@echo off
rem Stops and removes the service "Brekon RCHOST Agent" that install.cmd
rem made, its registry key and its event source "Rchost32". Run it as an administrator.
setlocal
net stop "Brekon RCHOST Agent" >nul 2>&1
sc delete "Brekon RCHOST Agent" >nul
if errorlevel 1 (
  echo uninstall: the service could not be removed
  exit /b 1
)
reg delete "HKLM\SOFTWARE\Brekon\Fieldhaven\QVWM\Rchost32" /f /reg:32 >nul 2>&1
reg delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Rchost32" /f >nul 2>&1
echo uninstall: "Brekon RCHOST Agent" removed
exit /b 0
