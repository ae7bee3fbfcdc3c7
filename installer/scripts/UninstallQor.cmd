@echo off
rem Removes the QOR driver suite: exactly the items DriverInstallation.cmd recorded in
rem InstalledItems.txt (files, registry values, the TWAIN source, then the keys and folders it
rem created). Images and logs the suite wrote later are kept, and with them their folder.
rem   UninstallQor.cmd [installation folder]      default: the registry value InstalPath
setlocal EnableExtensions
set "TARGET=%~1"
if "%TARGET%"=="" for /f "tokens=1,2,*" %%A in ('reg query "HKLM\SOFTWARE\Halvex Imaging\QOR" /v InstalPath 2^>nul') do if /i "%%A"=="InstalPath" set "TARGET=%%C"
if "%TARGET%"=="" goto :notinstalled
if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"
set "ITEMS=%TARGET%\InstalledItems.txt"
if not exist "%ITEMS%" goto :notinstalled

rem A copy is read, so that the record itself can go with the rest.
set "COPY=%TEMP%\QorInstalledItems.txt"
copy /y "%ITEMS%" "%COPY%" >nul 2>&1
for /f "usebackq eol=; tokens=1*" %%A in ("%COPY%") do call :remove %%A "%%B"
del /f /q "%COPY%" >nul 2>&1
echo QOR has been removed from %TARGET%.
endlocal
exit /b 0

:notinstalled
echo UninstallQor: no QOR installation record found. Give the installation folder as the first argument.
endlocal
exit /b 1

:remove
if "%~1"=="file" del /f /q "%TARGET%\%~2" >nul 2>&1
if "%~1"=="path" del /f /q "%~2" >nul 2>&1
if "%~1"=="restore" move /y "%~2.before-qor" "%~2" >nul 2>&1
if "%~1"=="folder" rmdir "%~2" >nul 2>&1
if "%~1"=="key" reg delete "%~2" /f >nul 2>&1
if "%~1"=="value" for /f "tokens=1,* delims=@" %%K in ("%~2") do reg delete "%%L" /v "%%K" /f >nul 2>&1
goto :eof
