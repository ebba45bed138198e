@echo off
rem Installs the remote control agent rchost32.exe (the folder of this script)
rem as the service "Brekon RCHOST Agent", started automatically with Windows,
rem writes its options to the registry value "CommandLine", registers the
rem event source "Rchost32" of the application log with the message file
rem rchostmsg.dll beside the program (so an event viewer shows the agent's
rem service messages in words) and starts it.
rem
rem   install.cmd [/INTERACTIVE] [OPTIONS]   e.g. install.cmd TCPIP   (default: TCPIP)
rem
rem Options: TCPIP (or IP) serves consoles over TCP/IP, IPX over the IPX form.
rem /INTERACTIVE makes it an interactive service: it then runs on the user's
rem window station and desktop, whose screen a viewer sees and whose keyboard
rem and pointer a viewer drives, and its boxes are shown to the user there.
rem Without it the service has a window station of its own (under Wine: a
rem screen nobody sees, without a display).
rem Run it as an administrator. uninstall.cmd removes the service again.
setlocal
set "AGENT=%~dp0rchost32.exe"
set "INTERACT="
set "OPTIONS="
:args
if "%~1"=="" goto argsdone
if /i "%~1"=="/INTERACTIVE" (
  set "INTERACT=type= interact"
) else (
  set "OPTIONS=%OPTIONS% %~1"
)
shift
goto args
:argsdone
if defined OPTIONS set "OPTIONS=%OPTIONS:~1%"
if "%OPTIONS%"=="" set "OPTIONS=TCPIP"
if not exist "%AGENT%" (
  echo install: %AGENT% not found
  exit /b 1
)
sc create "Brekon RCHOST Agent" binPath= "\"%AGENT%\"" type= own %INTERACT% start= auto DisplayName= "Brekon RCHOST Agent"
if errorlevel 1 (
  echo install: the service could not be created
  exit /b 1
)
reg add "HKLM\SOFTWARE\Brekon\Fieldhaven\QVWM\Rchost32" /v CommandLine /t REG_SZ /d "%OPTIONS%" /f /reg:32 >nul
if errorlevel 1 (
  echo install: the options could not be written to the registry
  exit /b 1
)
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Rchost32"
reg add "%EVENTKEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%~dp0rchostmsg.dll" /f >nul
if errorlevel 1 (
  echo install: the event source could not be registered
  exit /b 1
)
reg add "%EVENTKEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 (
  echo install: the event source could not be registered
  exit /b 1
)
sc start "Brekon RCHOST Agent" >nul
if errorlevel 1 (
  echo install: the service was created but did not start
  exit /b 1
)
echo install: "Brekon RCHOST Agent" installed and started
exit /b 0
