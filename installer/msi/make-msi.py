#!/usr/bin/env python3
"""Builds the silent-installation package (MSI) of the QOR driver suite with wixl (msitools).

    make-msi.py --bin BIN_DIR --out QOR.msi [--version 5.5.0] [--arch x86|x64] [--x64-bin DIR]

The files are those of the installation medium (suite_files.txt beside this folder; missing
optional ones are left out and named). Two packages ship, both made by the i686 build: the x86
package (--arch x86) holds the 32-bit suite; the x64 package (--arch x64 --x64-bin, for 64-bit
Windows) holds the same 32-bit components and, as 64-bit components, the x86_64 build's TWAIN
source and the libraries it loads (the list's "x64\\" names) in the installation folder's "x64"
folder, that source in twain_64, and the registry values in both views as well. (A 32-bit
package may hold no 64-bit component.) --arch x64 without --x64-bin packs a suite built for
x86_64 alone (the x86_64 build's own package, which does not ship).
Per machine, into %ProgramFiles%\\Halvex Imaging\\QOR (the 32-bit Program Files folder when the
suite is 32-bit):
    msiexec /i QOR.msi /qn        install, or upgrade an earlier version in place
    msiexec /i QOR.msi /qn INSTALLFOLDER="D:\\Dental\\QOR"   install into a folder of one's choosing
    msiexec /x QOR.msi /qn        remove (also from the Windows list of programs)
It writes the registry values the medium's script writes (an existing "LanguageID", "LogLevel"
or "Exposure Level" is kept) and puts the TWAIN source where the manager of the package's
pointer width looks: %WINDIR%\\twain_32\\Halvex\\QORSRC.ds (twain_64 for the x64 package); under
Wine, whose manager loads only "sane.ds" from that folder, as twain_32\\sane.ds (twain_64).
Removal keeps the images QOR APP stored and removes its record of delivered images.
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

# Fixed for the life of the product: every version of the package shares it, so that a newer
# one replaces an older one in place.
SUPPORT_TELEPHONE = "1-800-555-0142"  # as the welcome screen gives it
HELP_FILE = "InstallationInstructions.pdf"
UPGRADE_CODE = "5B0E3C6A-6F2D-4C1B-9A57-0C9D3E1F4A21"
NAMESPACE = uuid.UUID(UPGRADE_CODE)
KEY = r"SOFTWARE\Halvex Imaging\QOR"
EXPOSURE_KEY = r"SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0"
RUN_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Run"


def guid(*parts):
    """A GUID that stays the same for the same parts (components keep theirs across versions)."""
    return str(uuid.uuid5(NAMESPACE, "/".join(parts))).upper()


def suite_files(listing):
    """(name, optional) for each line of suite_files.txt; "x64\\" names keep their folder."""
    for line in pathlib.Path(listing).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        optional = re.search(r"\s+optional$", line) is not None
        yield re.sub(r"\s+optional$", "", line), optional


def identifier(name):
    return "F_" + re.sub(r"[^A-Za-z0-9_]", "_", name)


def layout(arch, two_widths):
    """(win64, program files folder) of the suite's own components."""
    if arch == "x64" and not two_widths:
        return "yes", "ProgramFiles64Folder"
    return "no", "ProgramFilesFolder"


def twain_components(add, components, width, source, suffix, win64):
    """The TWAIN source of one width: sane.ds for Wine, Halvex\\QORSRC.ds for Windows. Every
    package that puts a source into the same folder shares the component."""
    arch = "x64" if width == "64" else "x86"
    folder = f"TwainFolder{suffix}"
    add(f'<Directory Id="{folder}" Name="twain_{width}">')
    components.append(f"CTwainWine{suffix}")
    add(f'<Component Id="CTwainWine{suffix}" Guid="{guid("twain-wine", arch)}" '
        f'Win64="{win64}"><File Id="TwainSane{suffix}" Name="sane.ds" Source={quoteattr(source)} '
        'KeyPath="yes"/></Component>')
    add(f'<Directory Id="TwainHalvexFolder{suffix}" Name="Halvex">')
    components.append(f"CTwainWindows{suffix}")
    add(f'<Component Id="CTwainWindows{suffix}" Guid="{guid("twain-windows", arch)}" '
        f'Win64="{win64}"><File Id="TwainQorsrc{suffix}" Name="QORSRC.ds" '
        f'Source={quoteattr(source)} KeyPath="yes"/></Component>')
    add('</Directory></Directory>')


def registry_component(add, components, cid, component_guid, win64, remove_folder):
    """The suite's registry values in one view. "InstalPath" is the installation folder as the
    package resolved it, with a trailing backslash (the suite's programs read it without)."""
    components.append(cid)
    add(f'<Component Id="{cid}" Guid="{component_guid}" Win64="{win64}">'
        f'<RegistryValue Root="HKLM" Key={quoteattr(KEY)} Name="InstalPath" Type="string" '
        'Value="[INSTALLFOLDER]" KeyPath="yes"/>'
        f'<RegistryValue Root="HKLM" Key={quoteattr(KEY)} Name="LanguageID" Type="string" '
        'Value="[LANGUAGEID]"/>'
        f'<RegistryValue Root="HKLM" Key={quoteattr(KEY)} Name="LogLevel" Type="string" '
        'Value="[LOGLEVEL]"/>'
        f'<RegistryValue Root="HKLM" Key={quoteattr(EXPOSURE_KEY)} Name="Exposure Level" '
        'Type="string" Value="[EXPOSURELEVEL]"/>'
        # The "Halvex Imaging" folder goes with the suite when nothing else is left in it.
        + ('<RemoveFolder Id="RemoveHalvexFolder" Directory="HalvexFolder" On="uninstall"/>'
           if remove_folder else '') +
        '</Component>')


def wxs(files, version, arch, size_kb=0, icon=None, help_file=False):
    """The package's WiX source; file sources are relative to the staging folder (the suite's
    files, and the 64-bit ones in its "x64" folder, the icon of the list of programs)."""
    suite = [name for name in files if not name.startswith("x64\\")]
    x64_parts = [name[4:] for name in files if name.startswith("x64\\")]
    two_widths = bool(x64_parts)
    win64, program_files = layout(arch, two_widths)
    # Components of the 32-bit suite share their GUIDs between the x86 and the x64 package.
    suite_arch = "x64" if win64 == "yes" else "x86"
    product_code = guid("product", version, arch)
    out = []
    add = out.append
    add('<?xml version="1.0" encoding="utf-8"?>')
    add('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">')
    add(f'<Product Id="{product_code}" Name="QOR driver suite" Language="1033" '
        f'Version="{version}" Manufacturer="Halvex Imaging" UpgradeCode="{UPGRADE_CODE}">')
    add(f'<Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine" '
        f'Description="QOR driver suite {version}" Manufacturer="Halvex Imaging"/>')
    add('<MajorUpgrade DowngradeErrorMessage="A newer version of the QOR driver suite is '
        'installed already."/>')
    add('<Media Id="1" Cabinet="qor.cab" EmbedCab="yes"/>')
    add('<Property Id="ARPNOMODIFY" Value="1"/>')
    add('<Property Id="STARTATLOGON" Value="1"/>')
    # The entry in the Windows list of programs: who helps, the icon, the size in KB.
    add(f'<Property Id="ARPCONTACT" Value="Halvex Imaging Technical Support, {SUPPORT_TELEPHONE}"/>')
    add(f'<Property Id="ARPHELPTELEPHONE" Value="{SUPPORT_TELEPHONE}"/>')
    add(f'<Property Id="ARPSIZE" Value="{size_kb}"/>')
    if icon:
        add(f'<Icon Id="QorApp.ico" SourceFile={quoteattr(icon)}/>')
        add('<Property Id="ARPPRODUCTICON" Value="QorApp.ico"/>')
    # The suite uses what Windows Vista brought (the C++ runtime's GetTickCount64 among it).
    add('<Condition Message="The QOR driver suite needs Windows Vista or newer. Install it on a '
        'computer with Windows Vista, 7 or newer.">Installed OR VersionNT &gt;= 600</Condition>')
    # Wine: its TWAIN manager loads only sane.ds. Its HID bus service marks a Wine system.
    add('<Property Id="WINE"><RegistrySearch Id="WineBus" Root="HKLM" '
        r'Key="System\CurrentControlSet\Services\winebus" Name="DisplayName" Type="raw"/></Property>')
    # Values set before (by the TWAIN source, a technician or an earlier version) are kept:
    # a raw search gives a DWORD as "#n", which is also how the package writes one. They are
    # read where the suite's own programs read them.
    for prop, key, name, default in (("LANGUAGEID", KEY, "LanguageID", 1033),
                                     ("LOGLEVEL", KEY, "LogLevel", 1),
                                     ("EXPOSURELEVEL", EXPOSURE_KEY, "Exposure Level", 1023)):
        add(f'<Property Id="{prop}" Value="#{default}"><RegistrySearch Id="Old{prop}" '
            f'Root="HKLM" Key={quoteattr(key)} Name={quoteattr(name)} Type="raw" '
            f'Win64="{win64}"/></Property>')
    # The folder chosen at the installation, for the later repair and removal (the installer
    # does not keep INSTALLFOLDER): read back from "InstalPath" of an installed suite.
    add('<Property Id="INSTALLEDFOLDER"><RegistrySearch Id="InstalledFolder" Root="HKLM" '
        f'Key={quoteattr(KEY)} Name="InstalPath" Type="raw" Win64="{win64}"/></Property>')
    components = []
    add('<Directory Id="TARGETDIR" Name="SourceDir">')
    add(f'<Directory Id="{program_files}"><Directory Id="HalvexFolder" Name="Halvex Imaging">'
        '<Directory Id="INSTALLFOLDER" Name="QOR">')
    def file_component(prefix, name, component_guid, component_win64, source):
        cid = "C" + prefix + identifier(name)[1:]
        components.append(cid)
        add(f'<Component Id="{cid}" Guid="{component_guid}" Win64="{component_win64}">'
            f'<File Id="{prefix}{identifier(name)}" Name={quoteattr(name)} '
            f'Source={quoteattr(source)} KeyPath="yes"/></Component>')

    for name in suite:
        file_component("", name, guid("file", suite_arch, name), win64, name)
    if help_file:
        file_component("", HELP_FILE, guid("file", suite_arch, HELP_FILE), win64, HELP_FILE)
    if two_widths:
        add('<Directory Id="QorX64Folder" Name="x64">')
        for name in x64_parts:
            file_component("X64", name, guid("file", "x64", "x64", name), "yes", "x64/" + name)
        add('</Directory>')
    registry_component(add, components, "CRegistry", guid("registry", suite_arch), win64, True)
    # QOR APP starts at every log-on (unless STARTATLOGON=0), so that the tray shows the sensor
    # before an imaging program opens the source; the 32-bit view's Run key on a 64-bit Windows.
    components.append("CLogonStart")
    add(f'<Component Id="CLogonStart" Guid="{guid("logon-start", suite_arch)}" Win64="{win64}">'
        f'<RegistryValue Root="HKLM" Key={quoteattr(RUN_KEY)} Name="QOR APP" Type="string" '
        'Value="&quot;[INSTALLFOLDER]QOR APP.exe&quot;" KeyPath="yes"/></Component>')
    if two_widths:
        # The 64-bit source reads its own view when the 32-bit one lacks a value.
        registry_component(add, components, "CRegistry64", guid("registry", "x64", "view64"),
                           "yes", False)
    add('</Directory></Directory></Directory>')
    # The Windows folder is always in the tree: the removal's commands run in it.
    add('<Directory Id="WindowsFolder">')
    if "QORSRC.ds" in suite:
        twain_components(add, components, "64" if win64 == "yes" else "32", "QORSRC.ds", "",
                         win64)
    if "QORSRC.ds" in x64_parts:
        twain_components(add, components, "64", "x64/QORSRC.ds", "64", "yes")
    add('</Directory>')
    add('</Directory>')
    add('<Feature Id="Suite" Title="QOR driver suite" Level="1">')
    for cid in components:
        add(f'<ComponentRef Id="{cid}"/>')
    add('</Feature>')
    add('</Product></Wix>')
    return "\n".join(out) + "\n"


def finishing_queries(twain_suffixes, arch, help_file=False):
    """What wixl cannot write, as queries on the finished package. twain_suffixes: those of the
    TWAIN source components the package holds ("" for the suite's own, "64" for the x64 part)."""
    system = "System64Folder" if arch == "x64" else "SystemFolder"  # cmd.exe of the package's width
    cmd = f'"[{system}]cmd.exe" /c '
    # RemoveFolder lands on the component's own folder; it is meant for the parent.
    queries = ["UPDATE `RemoveFile` SET `DirProperty` = 'HalvexFolder' "
               "WHERE `FileKey` = 'RemoveHalvexFolder'"]
    # Wine's installer removes the installation folder only after its RemoveFolders step, which
    # therefore finds "Halvex Imaging" not empty yet: the two folders go at the end, each only
    # when empty (images and logs the suite wrote later stay, and with them their folders).
    # A running QOR APP (of this package or of a medium's installation in the same folder) holds
    # its files: asked to end as its "Exit QOR" does (images saved), ended when it has not within
    # 30 s; before any file is removed or replaced.
    tool = '"[INSTALLFOLDER]qorctl.exe"'
    queries += custom_action_queries("StopQorApp", f'{cmd}if exist {tool} {tool} app stop', "",
                                     3410)  # before RemoveFiles
    queries += custom_action_queries("EndQorApp", f'{cmd}taskkill /f /im "QOR APP.exe"', "", 3420)
    if help_file:
        # The list of programs' help link opens the installed instructions (no network needed);
        # a formatted value needs the folder resolved, after CostFinalize.
        queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                    f"VALUES ('SetHelpLink', 51, 'ARPHELPLINK', '[INSTALLFOLDER]{HELP_FILE}')",
                    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                    "VALUES ('SetHelpLink', '', 1005)"]
    queries += ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                "VALUES ('UseInstalledFolder', 51, 'INSTALLFOLDER', '[INSTALLEDFOLDER]')",
                "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                "VALUES ('UseInstalledFolder', 'Installed AND INSTALLEDFOLDER', 995)"]  # before CostFinalize
    queries.append("UPDATE `Component` SET `Condition` = 'STARTATLOGON=\"1\"' "
                   "WHERE `Component` = 'CLogonStart'")
    # QOR APP runs as whoever is logged on and stores the images in the installation folder: the
    # practice's standard users (the Users group by its SID, the same in every language) may
    # change files in its Images folder. (Only while empty does the folder go at the removal.)
    images_folder = '"[INSTALLFOLDER]Images"'
    queries += custom_action_queries(
        "LetUsersStoreImages",
        f'{cmd}(if not exist {images_folder} mkdir {images_folder}) & '
        f'icacls {images_folder} /grant *S-1-5-32-545:(OI)(CI)M', 'NOT REMOVE="ALL"',
        4010)  # after InstallFiles
    # A medium's installation that this package replaced leaves its record and the welcome
    # screen's result folder: both go with the package.
    queries += custom_action_queries("RemoveEmptyFolders",
                                     f'{cmd}del /f /q "[INSTALLFOLDER]InstalledItems.txt" & '
                                     f'del /f /q "C:\\qor\\result.txt" & rmdir "C:\\qor" & '
                                     f'rmdir "[INSTALLFOLDER]Images" & rmdir "[INSTALLFOLDER]" & rmdir "[HalvexFolder]"',
                                     'REMOVE="ALL"', 6590)  # before InstallFinalize
    # QOR APP's record of images that left it while their file could not be deleted goes with
    # the suite (the images stay), not when an upgrade removes the older version: beside the
    # images, and in the registry of the user removing it (earlier versions kept it there, and
    # QOR APP does while the Images folder cannot be written), so that one runs as that user.
    # Wine's installer does not tell an upgrade's removal apart (no UPGRADINGPRODUCTCODE), so the
    # newer package marks the upgrade beside the record while the older version goes.
    images = '[INSTALLFOLDER]Images\\'
    marker = f'"{images}Delivered Images.upgrading"'
    unless_upgrading = f'if not exist {marker} '
    removal = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
    queries += custom_action_queries(
        "RemoveDeliveredRecord",
        f'{cmd}{unless_upgrading}del /f /q "{images}Delivered Images.txt"', removal,
        3520)  # after RemoveFiles
    queries += custom_action_queries(
        "RemoveUsersDeliveredRecord",
        f'{cmd}{unless_upgrading}reg delete "HKCU\\{KEY}\\Delivered Images" /f', removal, 3530,
        impersonate=True)
    queries += custom_action_queries(
        "MarkUpgradeForDeliveredRecord", f'{cmd}if exist "{images}" echo upgrading>{marker}',
        "WIX_UPGRADE_DETECTED", 1390, deferred=False)  # before RemoveExistingProducts
    queries += custom_action_queries(
        "UnmarkUpgradeForDeliveredRecord", f'{cmd}del /f /q {marker}',
        "WIX_UPGRADE_DETECTED", 1402, deferred=False)  # after RemoveExistingProducts
    for n, suffix in enumerate(twain_suffixes):
        # Each TWAIN source has two components: one for Windows, one for Wine.
        for component, condition in ((f"CTwainWine{suffix}", "WINE"),
                                     (f"CTwainWindows{suffix}", "NOT WINE")):
            queries.append(f"UPDATE `Component` SET `Condition` = '{condition}' "
                           f"WHERE `Component` = '{component}'")
        # Under Wine the source replaces the sane.ds that is there (Wine's own scanner source):
        # a copy is kept beside it when none is kept yet and put back at the removal, not when
        # an upgrade removes the older version (Wine's installer does not tell that removal
        # apart; the copy it puts back is then kept again by the newer version).
        sane = f'"[TwainFolder{suffix}]sane.ds"'
        kept = f'"[TwainFolder{suffix}]sane.ds.before-qor"'
        queries += custom_action_queries(
            f"KeepWineSource{suffix}",
            cmd + f"if exist {sane} if not exist {kept} copy /y {sane} {kept}",
            "WINE AND NOT Installed", 3990 + n)  # before InstallFiles
        queries += custom_action_queries(
            f"RestoreWineSource{suffix}", cmd + f"if exist {kept} move /y {kept} {sane}",
            'WINE AND REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE', 3510 + n)  # after RemoveFiles
    return queries


def custom_action_queries(action, command, condition, sequence, impersonate=False,
                          deferred=True):
    """A command line run in the Windows folder: type 34 (program in a folder) + result ignored
    64; deferred (1024: in the installation script) as the installing (administrator) account
    (no impersonation 2048) or, with impersonate, as the user who runs the package; or at once
    where it stands in the sequence (deferred=False, as that user)."""
    action_type = 34 + 64
    if deferred:
        action_type += 1024 if impersonate else 1024 + 2048
    return ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
            f"VALUES ('{action}', {action_type}, 'WindowsFolder', '{command}')",
            "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
            f"VALUES ('{action}', '{condition}', {sequence})"]


def main():
    here = pathlib.Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="folder of the built suite")
    parser.add_argument("--out", required=True, help="the package to write")
    parser.add_argument("--version", default="5.5.0", help="product version a.b.c")
    parser.add_argument("--arch", choices=("x86", "x64"), default="x86")
    parser.add_argument("--x64-bin", help="the x86_64 build's bin folder (with --arch x64): "
                        "its TWAIN source and libraries join the 32-bit suite")
    parser.add_argument("--files", default=str(here.parent / "suite_files.txt"))
    parser.add_argument("--icon", help="the icon the list of programs shows (.ico)")
    parser.add_argument("--help-file", help="the installation instructions (PDF): installed "
                        f"as {HELP_FILE}, opened by the list of programs' help link")
    args = parser.parse_args()
    for given in (args.icon, args.help_file):
        if given and not pathlib.Path(given).is_file():
            sys.exit(f"make-msi: {given} does not exist: build the suite (icons) first")
    if not re.fullmatch(r"\d{1,3}\.\d{1,3}\.\d{1,5}", args.version):
        sys.exit(f"make-msi: version {args.version!r} is not a.b.c (numbers)")
    if args.x64_bin and args.arch != "x64":
        sys.exit("make-msi: --x64-bin needs --arch x64 (a 32-bit package holds no 64-bit part)")
    files, missing = [], []
    for name, optional in suite_files(args.files):
        if name.startswith("x64\\"):
            # The 64-bit parts, all required when asked for.
            if args.x64_bin is None:
                continue
            if (pathlib.Path(args.x64_bin) / name[4:]).is_file():
                files.append(name)
            else:
                missing.append(f"{name[4:]} (in {args.x64_bin})")
        elif (pathlib.Path(args.bin) / name).is_file():
            files.append(name)
        elif optional:
            print(f"make-msi: {name} is not built; the package goes without it", file=sys.stderr)
        else:
            missing.append(name)
    if missing:
        sys.exit(f"make-msi: {', '.join(missing)} missing in {args.bin}: build the suite first")
    for tool in ("wixl", "msibuild"):
        if shutil.which(tool) is None:
            sys.exit(f"make-msi: {tool} is not installed: run scripts/setup.sh "
                     "(Debian packages msitools, wixl)")
    out = os.path.abspath(args.out)
    with tempfile.TemporaryDirectory() as work:
        # wixl finds the files only by paths relative to its working folder: they are linked
        # into one, the 64-bit parts into its "x64" folder.
        stage = pathlib.Path(work) / "files"
        (stage / "x64").mkdir(parents=True)
        for name in files:
            if name.startswith("x64\\"):
                origin, link = pathlib.Path(args.x64_bin) / name[4:], stage / "x64" / name[4:]
            else:
                origin, link = pathlib.Path(args.bin) / name, stage / name
            link.symlink_to(origin.resolve())
        size = sum((stage / name.replace("\\", "/")).stat().st_size for name in files)
        icon = None
        if args.icon:
            (stage / "QorApp.ico").symlink_to(pathlib.Path(args.icon).resolve())
            icon = "QorApp.ico"
        if args.help_file:
            (stage / HELP_FILE).symlink_to(pathlib.Path(args.help_file).resolve())
            size += (stage / HELP_FILE).stat().st_size
        source = pathlib.Path(work) / "qor.wxs"
        source.write_text(wxs(files, args.version, args.arch, (size + 1023) // 1024, icon,
                              bool(args.help_file)))
        if os.environ.get("QOR_MSI_KEEP_WXS"):
            shutil.copy(source, os.environ["QOR_MSI_KEEP_WXS"])
        result = subprocess.run(["wixl", "-a", args.arch, "-o", out, str(source)],
                                capture_output=True, text=True, cwd=stage)
        if result.returncode != 0:
            sys.exit(f"make-msi: wixl failed: {result.stderr.strip()}")
    twain_suffixes = [suffix for suffix, name in (("", "QORSRC.ds"), ("64", "x64\\QORSRC.ds"))
                      if name in files]
    for query in finishing_queries(twain_suffixes, args.arch, bool(args.help_file)):
        result = subprocess.run(["msibuild", out, "-q", query], capture_output=True, text=True)
        if result.returncode != 0:
            os.remove(out)
            sys.exit(f"make-msi: msibuild failed on {query!r}: {result.stderr.strip()}")
    print(f"make-msi: {args.out} ({len(files)} files, version {args.version}, {args.arch})")


if __name__ == "__main__":
    main()
