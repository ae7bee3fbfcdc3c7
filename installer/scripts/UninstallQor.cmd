@echo off
rem Removes the QOR driver suite: exactly the items DriverInstallation.cmd recorded in
rem InstalledItems.txt (files, registry values in each view, the TWAIN sources, then the keys and
rem folders it created). Images and logs the suite wrote later are kept, and with them their folder; the
rem record of delivered images goes.
rem   UninstallQor.cmd [installation folder]      default: the registry value InstalPath
setlocal EnableExtensions
set "TARGET=%~1"
if "%TARGET%"=="" for /f "tokens=1,2,*" %%A in ('reg query "HKLM\SOFTWARE\Halvex Imaging\QOR" /v InstalPath 2^>nul') do if /i "%%A"=="InstalPath" set "TARGET=%%C"
rem An installation by a 32-bit cmd before the suite wrote both registry views left the value in
rem the 32-bit view only; a 64-bit cmd looks there too.
if "%TARGET%"=="" if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" for /f "tokens=1,2,*" %%A in ('reg query "HKLM\SOFTWARE\Halvex Imaging\QOR" /v InstalPath /reg:32 2^>nul') do if /i "%%A"=="InstalPath" set "TARGET=%%C"
if "%TARGET%"=="" goto :notinstalled
if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"
set "ITEMS=%TARGET%\InstalledItems.txt"
if not exist "%ITEMS%" goto :notinstalled

rem A running QOR APP holds its files: it is asked to end as its "Exit QOR" does (images saved),
rem and ended when it has not within 30 s (a box of it waiting for an answer; every image it keeps
rem is on disk already). An installation without qorctl.exe gets the window's close request.
if exist "%TARGET%\qorctl.exe" goto :stopwithtool
taskkill /im "QOR APP.exe" >nul 2>&1
ping -n 6 127.0.0.1 >nul 2>&1
goto :stopped
:stopwithtool
"%TARGET%\qorctl.exe" app stop
:stopped
taskkill /f /im "QOR APP.exe" >nul 2>&1

rem The record of images that left QOR APP while their file could not be deleted goes with the
rem suite (the images themselves stay): beside the images, and in the user's registry, where
rem earlier versions kept it and where it goes while the Images folder cannot be written.
del /f /q "%TARGET%\Images\Delivered Images.txt" >nul 2>&1
reg delete "HKCU\SOFTWARE\Halvex Imaging\QOR\Delivered Images" /f >nul 2>&1

rem A copy is read, so that the record itself can go with the rest.
set "COPY=%TEMP%\QorInstalledItems.txt"
copy /y "%ITEMS%" "%COPY%" >nul 2>&1
rem The kind and the name go to :remove in variables: an argument of call would be expanded a
rem second time, and a folder name may hold & ( ) ^ %% ! or letters beyond ASCII.
for /f "usebackq eol=; tokens=1*" %%A in ("%COPY%") do (
    set "KIND=%%A"
    set "NAME=%%B"
    call :remove
)
del /f /q "%COPY%" >nul 2>&1
for /f "eol=| delims=" %%T in ("%TARGET%") do echo QOR has been removed from %%T.
endlocal
exit /b 0

:notinstalled
echo UninstallQor: no QOR installation record found. Give the installation folder as the first argument.
endlocal
exit /b 1

:remove
rem "." and ".." name the installation folder and its parent.
if "%KIND%"=="folder" if "%NAME%"=="." set "NAME=%TARGET%"
if "%KIND%"=="folder" if "%NAME%"==".." for %%P in ("%TARGET%\..") do set "NAME=%%~fP"
if "%KIND%"=="file" del /f /q "%TARGET%\%NAME%" >nul 2>&1
if "%KIND%"=="path" del /f /q "%NAME%" >nul 2>&1
if "%KIND%"=="restore" move /y "%NAME%.before-qor" "%NAME%" >nul 2>&1
if "%KIND%"=="folder" rmdir "%NAME%" >nul 2>&1
if "%KIND%"=="subfolder" rmdir "%TARGET%\%NAME%" >nul 2>&1
rem Registry items of a 64-bit Windows name their view: key32, value64, ...
set "REGFLAG="
if "%KIND:~-2%"=="32" set "REGFLAG=/reg:32"
if "%KIND:~-2%"=="64" set "REGFLAG=/reg:64"
if defined REGFLAG set "KIND=%KIND:~0,-2%"
if "%KIND%"=="key" reg delete "%NAME%" /f %REGFLAG% >nul 2>&1
if "%KIND%"=="value" for /f "tokens=1,* delims=@" %%K in ("%NAME%") do reg delete "%%L" /v "%%K" /f %REGFLAG% >nul 2>&1
goto :eof
