@echo off
rem Installs the QOR driver suite from this medium's "Files" folder.
rem   DriverInstallation.cmd [installation folder]
rem Default folder: Halvex Imaging\QOR in the folder of 32-bit programs (%ProgramFiles(x86)% on
rem 64-bit Windows, %ProgramFiles% on 32-bit Windows), whichever width of cmd runs this. Every
rem failure is written as one line to C:\qor\result.txt, which the welcome screen shows; no result
rem file means success.
rem On 64-bit Windows the medium's "x64" files (the 64-bit TWAIN source and the libraries it loads)
rem go into the installation folder's "x64" folder and the 64-bit source into twain_64, beside the
rem 32-bit one in twain_32; the suite's registry values go into both registry views (32-bit QOR APP
rem reads the 32-bit one). On 32-bit Windows the "x64" files are left out.
rem InstalledItems.txt in the installation folder records what this installation wrote (files,
rem then registry values, then the keys and folders it created, innermost first; "." and ".."
rem are the installation folder and its parent), so that
rem UninstallQor.cmd removes exactly that and nothing else. Installing again overwrites the
rem files and adds only new items to the record.
setlocal EnableExtensions
set "MEDIUM=%~dp0"
set "RESULT=C:\qor\result.txt"
set "KEY=HKLM\SOFTWARE\Halvex Imaging\QOR"
set "EXPOSUREKEY=HKLM\SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0"
set "RUNKEY=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
set "TARGET=%ProgramFiles%\Halvex Imaging\QOR"
if defined ProgramFiles(x86) set "TARGET=%ProgramFiles(x86)%\Halvex Imaging\QOR"
if not "%~1"=="" set "TARGET=%~1"
if "%TARGET:~-1%"=="\" set "TARGET=%TARGET:~0,-1%"
for %%P in ("%TARGET%\..") do set "TARGETPARENT=%%~fP"
set "ITEMS=%TARGET%\InstalledItems.txt"

rem 64-bit Windows: a 64-bit cmd says AMD64; a 32-bit one (the welcome screen's) has the machine's
rem width in PROCESSOR_ARCHITEW6432; both see SysWOW64. The registry views: "native" is the only
rem one of a 32-bit Windows (whose reg may not know /reg:32).
set "WIN64="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "WIN64=1"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "WIN64=1"
if exist "%SystemRoot%\SysWOW64\" set "WIN64=1"
set "VIEWS=native"
if defined WIN64 set "VIEWS=32 64"

set "NEWQOR="
if not exist "C:\qor\" set "NEWQOR=1"
if not exist "C:\qor\" mkdir "C:\qor"
if exist "%RESULT%" del /f /q "%RESULT%"

rem The suite needs Windows Vista (NT 6.0) or newer: an older Windows is refused before anything
rem changes.
set "NTVERSION="
for /f "tokens=1,2,*" %%A in ('reg query "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion" /v CurrentVersion 2^>nul') do if /i "%%A"=="CurrentVersion" set "NTVERSION=%%C"
set "NTMAJOR=6"
for /f "delims=." %%M in ("%NTVERSION%") do set "NTMAJOR=%%M"
if %NTMAJOR% LSS 6 goto :tooold

if not exist "%MEDIUM%Files\suite_files.txt" goto :incomplete
if not exist "%MEDIUM%Files\Qor.dll" goto :incomplete

rem A QOR APP running from an earlier installation holds its files: it is asked to end as its
rem "Exit QOR" does (images saved), and ended when it has not within 30 s.
if exist "%MEDIUM%Files\qorctl.exe" "%MEDIUM%Files\qorctl.exe" app stop >nul 2>&1
taskkill /f /im "QOR APP.exe" >nul 2>&1

rem What exists before, so that only what this installation creates is recorded as created.
set "NEWPARENT="
if not exist "%TARGETPARENT%\" set "NEWPARENT=1"
set "NEWTARGET="
if not exist "%TARGET%\" set "NEWTARGET=1"
set "NEWX64="
if defined WIN64 if not exist "%TARGET%\x64\" set "NEWX64=1"

if not exist "%TARGET%\" mkdir "%TARGET%" >nul 2>&1
if not exist "%TARGET%\" (
    set "MSG=Cannot create the installation folder %TARGET%. Run the installation as an administrator."
    call :fail
    goto :end
)
if not exist "%ITEMS%" (
    >"%ITEMS%" echo ; What the QOR installation wrote. UninstallQor.cmd removes these items.
    >>"%ITEMS%" echo file InstalledItems.txt
)

rem The suite's files, one by one, so that every file that cannot be copied is named.
for /f "usebackq eol=# delims=" %%L in ("%MEDIUM%Files\suite_files.txt") do call :copyfile "%%L"

rem QOR APP runs as whoever is logged on and stores the images here: the practice's standard users
rem (the Users group, named by its SID, the same in every language) may change files in it.
set "NEWIMAGES="
if not exist "%TARGET%\Images\" set "NEWIMAGES=1"
if not exist "%TARGET%\Images\" mkdir "%TARGET%\Images" >nul 2>&1
set "MSG=Cannot let the practice's users write into %TARGET%\Images: QOR APP may not store images for them. Run the installation as an administrator."
icacls "%TARGET%\Images" /grant *S-1-5-32-545:(OI)(CI)M >nul 2>&1
if errorlevel 1 call :fail

rem QOR APP starts at every log-on, so that the tray shows the sensor before an imaging program
rem opens the source (32-bit programs' view on a 64-bit Windows, which Windows starts as well).
set "REGFLAG="
set "SUFFIX="
if defined WIN64 set "REGFLAG=/reg:32"
if defined WIN64 set "SUFFIX=32"
set "MSG=Cannot let QOR APP start at log-on. Run the installation as an administrator, or start QOR APP by hand."
set "ITEM=value%SUFFIX% QOR APP@%RUNKEY%"
rem The value is the quoted path. The folder reaches reg as a for variable, whose value is not
rem parsed again, so that its & ( ) ^ ! need no care.
set "RUNFAILED=1"
for /f "eol=| delims=" %%T in ("%TARGET%") do (
    reg add "%RUNKEY%" /v "QOR APP" /t REG_SZ /d "\"%%T\QOR APP.exe\"" /f %REGFLAG% >nul 2>&1
    if not errorlevel 1 set "RUNFAILED="
)
if defined RUNFAILED (
    call :fail
) else (
    call :record
)

rem Registry values of QOR APP, the TWAIN sources and Qor.dll, in each registry view.
for %%V in (%VIEWS%) do call :registry %%V

rem The TWAIN sources, where the TWAIN managers look for sources.
call :twain

rem Created folders, innermost first (the images folder only while empty).
set "ITEM=subfolder Images"
if defined NEWIMAGES if exist "%TARGET%\Images\" call :record
set "ITEM=subfolder x64"
if defined NEWX64 if exist "%TARGET%\x64\" call :record
rem The installation folder and its parent are named relative to the installation folder: the
rem record is read in the console's code page, which may lack letters of the folder's name.
set "ITEM=folder ."
if defined NEWTARGET call :record
set "ITEM=folder .."
if defined NEWPARENT call :record
rem The result folder of the welcome screen, and a result file that a failure may still leave.
set "ITEM=path %RESULT%"
call :record
set "ITEM=folder C:\qor"
if defined NEWQOR call :record
goto :end

:tooold
set "MSG=The QOR driver suite needs Windows Vista or newer; this computer runs Windows NT %NTVERSION%. Nothing was installed: install it on a computer with Windows Vista, 7 or newer."
call :fail
goto :end

:incomplete
set "MSG=The installation medium is incomplete: %MEDIUM%Files\Qor.dll or suite_files.txt is missing. Copy the whole medium again and start the installation once more."
call :fail

:end
endlocal
exit /b 0

rem --- subroutines ---------------------------------------------------------------------------
rem Folder names may hold blanks, & ( ) ^ %% ! and letters beyond ASCII. Such a text is passed in
rem a variable (MSG, ITEM), never as an argument of call (call expands %% a second time and
rem doubles ^), is compared only inside quotes, and is printed as a for variable, whose value is
rem not parsed again (delayed expansion would eat a !).

:fail
rem Appends the line in MSG to the result file unless it is there already (a step done in both
rem registry views fails in both).
set "FOUND="
if exist "%RESULT%" for /f "usebackq delims=" %%R in ("%RESULT%") do if "%%R"=="%MSG%" set "FOUND=1"
if defined FOUND goto :eof
for /f "eol=| delims=" %%T in ("%MSG%") do >>"%RESULT%" echo %%T
goto :eof

:record
rem Adds the line in ITEM ("kind name") to the record unless it is there already. (Plain loops
rem and errorlevel tests only: Wine's cmd mishandles || and && before redirections and blocks.)
set "FOUND="
for /f "usebackq delims=" %%R in ("%ITEMS%") do if "%%R"=="%ITEM%" set "FOUND=1"
if defined FOUND goto :eof
for /f "eol=| delims=" %%T in ("%ITEM%") do >>"%ITEMS%" echo %%T
goto :eof

:registry
rem One registry view (%1: native, 32 or 64): what exists before, the values, then the keys this
rem installation created, innermost first. The record names the view in the kind ("value32",
rem "key64"); "value" and "key" are the one view of a 32-bit Windows.
set "REGFLAG="
set "SUFFIX="
if not "%~1"=="native" set "REGFLAG=/reg:%~1"
if not "%~1"=="native" set "SUFFIX=%~1"
call :probe "HKLM\SOFTWARE\Halvex Imaging" NEWK1
call :probe "%KEY%" NEWK2
call :probe "HKLM\SOFTWARE\Halvex Imaging Corp." NEWK3
call :probe "HKLM\SOFTWARE\Halvex Imaging Corp.\QOR CD" NEWK4
call :probe "%EXPOSUREKEY%" NEWK5
rem The folder is always set; the language, the log level and the exposure threshold keep values
rem set before (by the TWAIN source, a technician or an earlier installation).
rem (In a .cmd file a successful set clears the errorlevel: the texts are set first.)
set "MSG=Cannot write the registry value InstalPath. Run the installation as an administrator."
set "ITEM=value%SUFFIX% InstalPath@%KEY%"
reg add "%KEY%" /v InstalPath /t REG_SZ /d "%TARGET%" /f %REGFLAG% >nul 2>&1
if errorlevel 1 (
    call :fail
) else (
    call :record
)
call :value "%KEY%" LanguageID 1033
call :value "%KEY%" LogLevel 1
call :value "%EXPOSUREKEY%" "Exposure Level" 1023
set "ITEM=key%SUFFIX% %EXPOSUREKEY%"
if defined NEWK5 call :record
set "ITEM=key%SUFFIX% HKLM\SOFTWARE\Halvex Imaging Corp.\QOR CD"
if defined NEWK4 call :record
set "ITEM=key%SUFFIX% HKLM\SOFTWARE\Halvex Imaging Corp."
if defined NEWK3 call :record
set "ITEM=key%SUFFIX% %KEY%"
if defined NEWK2 call :record
set "ITEM=key%SUFFIX% HKLM\SOFTWARE\Halvex Imaging"
if defined NEWK1 call :record
goto :eof

:probe
rem Sets the variable %2 when the registry key %1 does not exist yet (in the view REGFLAG names).
set "%~2="
reg query "%~1" %REGFLAG% >nul 2>&1
if errorlevel 1 set "%~2=1"
goto :eof

:copyfile
set "NAME=%~1"
rem The medium's "x64" files serve only a 64-bit Windows, in a folder of their own.
if /i "%NAME:~0,4%"=="x64\" if not defined WIN64 goto :eof
if /i "%NAME:~0,4%"=="x64\" if not exist "%TARGET%\x64\" mkdir "%TARGET%\x64" >nul 2>&1
set "MSG=%NAME% is missing on the installation medium: the part of QOR it belongs to will not work. Use a complete installation medium."
if not exist "%MEDIUM%Files\%NAME%" (
    call :fail
    goto :eof
)
copy /y "%MEDIUM%Files\%NAME%" "%TARGET%\%NAME%" >nul 2>&1
set "MSG=Cannot copy %NAME% into %TARGET%. Close QOR APP and every imaging program, then install again."
if not exist "%TARGET%\%NAME%" (
    call :fail
    goto :eof
)
set "ITEM=file %NAME%"
call :record
goto :eof

:value
rem A DWORD value, written only when it does not exist yet.
reg query "%~1" /v "%~2" %REGFLAG% >nul 2>&1
if not errorlevel 1 goto :eof
set "MSG=Cannot write the registry value %~2. Run the installation as an administrator."
set "ITEM=value%SUFFIX% %~2@%~1"
reg add "%~1" /v "%~2" /t REG_DWORD /d %3 /f %REGFLAG% >nul 2>&1
if errorlevel 1 (
    call :fail
    goto :eof
)
call :record
goto :eof

rem "path" items are files outside the installation folder, removed by their full path.
:twain
rem The source for programs of the medium's width, into the folder TwainFolder.txt names.
set "TWAINWIDTH=twain_32"
if exist "%MEDIUM%Files\TwainFolder.txt" set /p TWAINWIDTH=<"%MEDIUM%Files\TwainFolder.txt"
set "SOURCEFILE=%TARGET%\QORSRC.ds"
if exist "%SOURCEFILE%" call :twainsource
rem The 64-bit source for 64-bit programs (the medium's "x64" files are copied only there).
set "TWAINWIDTH=twain_64"
set "SOURCEFILE=%TARGET%\x64\QORSRC.ds"
if defined WIN64 if exist "%SOURCEFILE%" call :twainsource
goto :eof

:twainsource
rem Installs SOURCEFILE for the manager of the width TWAINWIDTH names.
rem Windows: the manager searches the subfolders of that folder. Wine's manager loads only
rem "sane.ds" directly in it.
reg query "HKLM\Software\Wine" >nul 2>&1
if not errorlevel 1 goto :twainwine
set "TWAINDIR=%WINDIR%\%TWAINWIDTH%\Halvex"
set "TWAINFILE=QORSRC.ds"
goto :twaincopy
:twainwine
set "TWAINDIR=%WINDIR%\%TWAINWIDTH%"
set "TWAINFILE=sane.ds"
:twaincopy
rem (A Windows without a 64-bit TWAIN manager may lack twain_64 itself.)
set "NEWTWAINPARENT="
if not exist "%WINDIR%\%TWAINWIDTH%\" set "NEWTWAINPARENT=1"
set "NEWTWAINDIR="
if not exist "%TWAINDIR%\" set "NEWTWAINDIR=1"
if not exist "%TWAINDIR%\" mkdir "%TWAINDIR%" >nul 2>&1
rem A source that is there already (Wine's own sane.ds, or one of an earlier installation that
rem is not ours) is kept aside once and put back by the uninstallation.
set "KEPT=%TWAINDIR%\%TWAINFILE%.before-qor"
set "OURS="
for /f "usebackq eol=; tokens=1*" %%A in ("%ITEMS%") do if "%%A %%B"=="path %TWAINDIR%\%TWAINFILE%" set "OURS=1"
if not defined OURS if exist "%TWAINDIR%\%TWAINFILE%" if not exist "%KEPT%" move /y "%TWAINDIR%\%TWAINFILE%" "%KEPT%" >nul 2>&1
copy /y "%SOURCEFILE%" "%TWAINDIR%\%TWAINFILE%" >nul 2>&1
set "MSG=Cannot install the TWAIN source into %TWAINDIR%. Run the installation as an administrator."
if not exist "%TWAINDIR%\%TWAINFILE%" (
    call :fail
    goto :eof
)
set "ITEM=path %TWAINDIR%\%TWAINFILE%"
call :record
rem The source writes its log beside itself.
set "ITEM=path %TWAINDIR%\QorSrcLog.txt"
call :record
set "ITEM=restore %TWAINDIR%\%TWAINFILE%"
if exist "%KEPT%" call :record
set "ITEM=folder %TWAINDIR%"
if defined NEWTWAINDIR call :record
set "ITEM=folder %WINDIR%\%TWAINWIDTH%"
if defined NEWTWAINPARENT call :record
goto :eof
