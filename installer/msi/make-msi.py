#!/usr/bin/env python3
"""Builds the silent-installation package (MSI) of the QOR driver suite with wixl (msitools).

    make-msi.py --bin BIN_DIR --out QOR.msi [--version 5.5.0] [--arch x86|x64]

The files are those of the installation medium (suite_files.txt beside this folder; missing
optional ones are left out and named). Per machine, into %ProgramFiles%\\Halvex Imaging\\QOR:
    msiexec /i QOR.msi /qn        install, or upgrade an earlier version in place
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
UPGRADE_CODE = "5B0E3C6A-6F2D-4C1B-9A57-0C9D3E1F4A21"
NAMESPACE = uuid.UUID(UPGRADE_CODE)
KEY = r"SOFTWARE\Halvex Imaging\QOR"
EXPOSURE_KEY = r"SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0"


def guid(*parts):
    """A GUID that stays the same for the same parts (components keep theirs across versions)."""
    return str(uuid.uuid5(NAMESPACE, "/".join(parts))).upper()


def suite_files(listing):
    """(name, optional) for each line of suite_files.txt."""
    for line in pathlib.Path(listing).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        optional = re.search(r"\s+optional$", line) is not None
        yield re.sub(r"\s+optional$", "", line), optional


def identifier(name):
    return "F_" + re.sub(r"[^A-Za-z0-9_]", "_", name)


def wxs(files, version, arch):
    """The package's WiX source; file sources are relative to the suite's folder."""
    win64 = "yes" if arch == "x64" else "no"
    program_files = "ProgramFiles64Folder" if arch == "x64" else "ProgramFilesFolder"
    twain = "twain_64" if arch == "x64" else "twain_32"
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
    # Wine: its TWAIN manager loads only sane.ds. Its HID bus service marks a Wine system.
    add('<Property Id="WINE"><RegistrySearch Id="WineBus" Root="HKLM" '
        r'Key="System\CurrentControlSet\Services\winebus" Name="DisplayName" Type="raw"/></Property>')
    # Values set before (by the TWAIN source, a technician or an earlier version) are kept:
    # a raw search gives a DWORD as "#n", which is also how the package writes one.
    for prop, key, name, default in (("LANGUAGEID", KEY, "LanguageID", 1033),
                                     ("LOGLEVEL", KEY, "LogLevel", 1),
                                     ("EXPOSURELEVEL", EXPOSURE_KEY, "Exposure Level", 1023)):
        add(f'<Property Id="{prop}" Value="#{default}"><RegistrySearch Id="Old{prop}" '
            f'Root="HKLM" Key={quoteattr(key)} Name={quoteattr(name)} Type="raw" '
            f'Win64="{win64}"/></Property>')
    components = []
    add('<Directory Id="TARGETDIR" Name="SourceDir">')
    add(f'<Directory Id="{program_files}"><Directory Id="HalvexFolder" Name="Halvex Imaging">'
        '<Directory Id="QorFolder" Name="QOR">')
    for name in files:
        cid = "C" + identifier(name)[1:]
        components.append(cid)
        add(f'<Component Id="{cid}" Guid="{guid("file", arch, name)}" Win64="{win64}">'
            f'<File Id="{identifier(name)}" Name={quoteattr(name)} '
            f'Source={quoteattr(name)} KeyPath="yes"/></Component>')
    # "InstalPath" without a trailing backslash, as the medium's script writes it.
    components.append("CRegistry")
    add(f'<Component Id="CRegistry" Guid="{guid("registry", arch)}" Win64="{win64}">'
        f'<RegistryValue Root="HKLM" Key={quoteattr(KEY)} Name="InstalPath" Type="string" '
        'Value="[HalvexFolder]QOR" KeyPath="yes"/>'
        f'<RegistryValue Root="HKLM" Key={quoteattr(KEY)} Name="LanguageID" Type="string" '
        'Value="[LANGUAGEID]"/>'
        f'<RegistryValue Root="HKLM" Key={quoteattr(KEY)} Name="LogLevel" Type="string" '
        'Value="[LOGLEVEL]"/>'
        f'<RegistryValue Root="HKLM" Key={quoteattr(EXPOSURE_KEY)} Name="Exposure Level" '
        'Type="string" Value="[EXPOSURELEVEL]"/>'
        # The "Halvex Imaging" folder goes with the suite when nothing else is left in it.
        '<RemoveFolder Id="RemoveHalvexFolder" Directory="HalvexFolder" On="uninstall"/>'
        '</Component>')
    add('</Directory></Directory></Directory>')
    # The Windows folder is always in the tree: the removal's commands run in it.
    add('<Directory Id="WindowsFolder">')
    if "QORSRC.ds" in files:
        source = quoteattr("QORSRC.ds")
        add(f'<Directory Id="TwainFolder" Name="{twain}">')
        components.append("CTwainWine")
        add(f'<Component Id="CTwainWine" Guid="{guid("twain-wine", arch)}" Win64="{win64}">'
            f'<File Id="TwainSane" Name="sane.ds" Source={source} KeyPath="yes"/></Component>')
        add('<Directory Id="TwainHalvexFolder" Name="Halvex">')
        components.append("CTwainWindows")
        add(f'<Component Id="CTwainWindows" Guid="{guid("twain-windows", arch)}" Win64="{win64}">'
            f'<File Id="TwainQorsrc" Name="QORSRC.ds" Source={source} KeyPath="yes"/></Component>')
        add('</Directory></Directory>')
    add('</Directory>')
    add('</Directory>')
    add('<Feature Id="Suite" Title="QOR driver suite" Level="1">')
    for cid in components:
        add(f'<ComponentRef Id="{cid}"/>')
    add('</Feature>')
    add('</Product></Wix>')
    return "\n".join(out) + "\n"


def finishing_queries(with_twain_source, arch):
    """What wixl cannot write, as queries on the finished package."""
    system = "System64Folder" if arch == "x64" else "SystemFolder"  # cmd.exe of the package's width
    cmd = f'"[{system}]cmd.exe" /c '
    # RemoveFolder lands on the component's own folder; it is meant for the parent.
    queries = ["UPDATE `RemoveFile` SET `DirProperty` = 'HalvexFolder' "
               "WHERE `FileKey` = 'RemoveHalvexFolder'"]
    # Wine's installer removes the installation folder only after its RemoveFolders step, which
    # therefore finds "Halvex Imaging" not empty yet: the two folders go at the end, each only
    # when empty (images and logs the suite wrote later stay, and with them their folders).
    queries += custom_action_queries("RemoveEmptyFolders",
                                     f'{cmd}rmdir "[QorFolder]" & rmdir "[HalvexFolder]"',
                                     'REMOVE="ALL"', 6590)  # before InstallFinalize
    # QOR APP's record of images that left it while their file could not be deleted goes with
    # the suite (the images stay), not when an upgrade removes the older version: beside the
    # images, and in the registry of the user removing it (earlier versions kept it there, and
    # QOR APP does while the Images folder cannot be written), so that one runs as that user.
    # Wine's installer does not tell an upgrade's removal apart (no UPGRADINGPRODUCTCODE), so the
    # newer package marks the upgrade beside the record while the older version goes.
    images = '[QorFolder]Images\\'
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
    if not with_twain_source:
        return queries
    # The TWAIN source's components: one for Windows, one for Wine.
    for component, condition in (("CTwainWine", "WINE"), ("CTwainWindows", "NOT WINE")):
        queries.append(f"UPDATE `Component` SET `Condition` = '{condition}' "
                       f"WHERE `Component` = '{component}'")
    # Under Wine the source replaces the sane.ds that is there (Wine's own scanner source): a
    # copy is kept beside it when none is kept yet and put back at the removal, not when an
    # upgrade removes the older version (Wine's installer does not tell that removal apart; the
    # copy it puts back is then kept again by the newer version).
    sane = '"[TwainFolder]sane.ds"'
    kept = '"[TwainFolder]sane.ds.before-qor"'
    queries += custom_action_queries(
        "KeepWineSource", cmd + f"if exist {sane} if not exist {kept} copy /y {sane} {kept}",
        "WINE AND NOT Installed", 3990)  # before InstallFiles
    queries += custom_action_queries(
        "RestoreWineSource", cmd + f"if exist {kept} move /y {kept} {sane}",
        'WINE AND REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE', 3510)  # after RemoveFiles
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
    parser.add_argument("--files", default=str(here.parent / "suite_files.txt"))
    args = parser.parse_args()
    if not re.fullmatch(r"\d{1,3}\.\d{1,3}\.\d{1,5}", args.version):
        sys.exit(f"make-msi: version {args.version!r} is not a.b.c (numbers)")
    files, missing = [], []
    for name, optional in suite_files(args.files):
        if (pathlib.Path(args.bin) / name).is_file():
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
        source = pathlib.Path(work) / "qor.wxs"
        source.write_text(wxs(files, args.version, args.arch))
        if os.environ.get("QOR_MSI_KEEP_WXS"):
            shutil.copy(source, os.environ["QOR_MSI_KEEP_WXS"])
        # wixl finds the files only by paths relative to its working folder.
        result = subprocess.run(["wixl", "-a", args.arch, "-o", out, str(source)],
                                capture_output=True, text=True, cwd=args.bin)
        if result.returncode != 0:
            sys.exit(f"make-msi: wixl failed: {result.stderr.strip()}")
    for query in finishing_queries("QORSRC.ds" in files, args.arch):
        result = subprocess.run(["msibuild", out, "-q", query], capture_output=True, text=True)
        if result.returncode != 0:
            os.remove(out)
            sys.exit(f"make-msi: msibuild failed on {query!r}: {result.stderr.strip()}")
    print(f"make-msi: {args.out} ({len(files)} files, version {args.version}, {args.arch})")


if __name__ == "__main__":
    main()
