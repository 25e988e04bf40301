#!/usr/bin/env python3
"""Checks the tables of the Windows Installer package that decide what it does.

    check_package.py PACKAGE.msi VERSION

VERSION is the project's MAJOR.MINOR.PATCH. The files the package was built from are in
PACKAGE.msi.files (deploy/build_package.sh leaves them there).
"""
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

TYPE_EXE_FROM_BINARY = 2
CONTINUE = 0x40
ROLLBACK = 0x100
COMMIT = 0x200
IN_SCRIPT = 0x400
NO_IMPERSONATE = 0x800
COMPONENT_NEVER_OVERWRITE = 0x80
COMPONENT_64BIT = 0x100
HKLM = 2

failures = 0


def check(name, ok, detail=""):
    global failures
    print("%s: %s%s" % ("ok" if ok else "FAILED", name, "" if ok or not detail else " (%s)" % (detail,)))
    if not ok:
        failures += 1


def table(package, name):
    """Rows of a table as dicts keyed by column name (IDT export: names, types, keys, rows)."""
    # A table with streams (Binary) is exported with a folder of them, in the working directory.
    with tempfile.TemporaryDirectory() as scratch:
        text = subprocess.run(["msiinfo", "export", os.path.abspath(package), name], check=True,
                              capture_output=True, text=True, cwd=scratch).stdout
    lines = [line.rstrip("\r") for line in text.split("\n")]
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def tables(package):
    return subprocess.run(["msiinfo", "tables", package], check=True, capture_output=True, text=True).stdout.split()


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    package, version = argv[1], argv[2]
    files = package + ".files"

    suminfo = subprocess.run(["msiinfo", "suminfo", package], check=True, capture_output=True, text=True).stdout
    check("an x64 package", "Template: x64;1033" in suminfo)

    properties = {row["Property"]: row["Value"] for row in table(package, "Property")}
    check("ProductVersion is the project's version %s" % version, properties.get("ProductVersion") == version,
          properties.get("ProductVersion"))
    check("per-machine (ALLUSERS=1)", properties.get("ALLUSERS") == "1")
    # A silent install always uses the Restart Manager; these keep an interactive one on it too
    # and let an instance that does not answer be ended, so that no reboot is asked for.
    check("the Restart Manager closes running instances (MSIRESTARTMANAGERCONTROL=0)",
          properties.get("MSIRESTARTMANAGERCONTROL") == "0", properties.get("MSIRESTARTMANAGERCONTROL"))
    check("... ending one that does not answer (MSIRMSHUTDOWN=1)", properties.get("MSIRMSHUTDOWN") == "1",
          properties.get("MSIRMSHUTDOWN"))
    check("... and starting again those registered for it", properties.get("MSIDISABLERMRESTART", "0") == "0",
          properties.get("MSIDISABLERMRESTART"))

    directories = {row["Directory"]: row for row in table(package, "Directory")}
    install = directories.get("INSTALLDIR", {})
    check("installs into ProgramFiles64Folder\\QuarnVelmora",
          install.get("Directory_Parent") == "ProgramFiles64Folder" and install.get("DefaultDir") == "QuarnVelmora")

    components = {row["Component"]: row for row in table(package, "Component")}
    check("every component is 64-bit", all(int(c["Attributes"]) & COMPONENT_64BIT for c in components.values()))
    settings_component = [f["Component_"] for f in table(package, "File") if f["FileName"] == "QuarnVelmora.exe.config"]
    check("the settings file's component is never overwritten",
          len(settings_component) == 1 and
          int(components[settings_component[0]]["Attributes"]) & COMPONENT_NEVER_OVERWRITE != 0)
    check("the other components may be", sum(
        1 for c in components.values() if int(c["Attributes"]) & COMPONENT_NEVER_OVERWRITE) == 1)
    names = sorted(f["FileName"] for f in table(package, "File"))
    check("the files are the program, its settings and the trace profile",
          names == ["QuarnVelmora.exe", "QuarnVelmora.exe.config", "QuarnVelmora.wprp"], names)

    registry = table(package, "Registry")
    run = [r for r in registry if r["Name"] == "QuarnVelmora"]
    check("a Run value under HKLM starts the installed program",
          len(run) == 1 and int(run[0]["Root"]) == HKLM and
          run[0]["Key"] == "Software\\Microsoft\\Windows\\CurrentVersion\\Run" and
          run[0]["Value"] == '"[INSTALLDIR]QuarnVelmora.exe"', run)

    actions = {row["Action"]: row for row in table(package, "CustomAction")}
    binaries = {row["Name"] for row in table(package, "Binary")}
    installed = '"[INSTALLDIR]QuarnVelmora.exe"'
    # (action, its arguments, the bits of its type beyond deferred and LocalSystem)
    stopper_actions = (("StopRunningInstance", installed, CONTINUE),
                       ("RestartOnRollback", "--restart " + installed, CONTINUE | ROLLBACK),
                       ("StopForUpdate", "--remember " + installed, CONTINUE),
                       ("RestartInstances", "--restart " + installed, CONTINUE),
                       ("ApplySetting", '--apply-setting [APPLYSETTING] "[INSTALLDIR]QuarnVelmora.exe.config"', 0))
    for name, target, bits in stopper_actions:
        action = actions.get(name, {})
        kind = int(action.get("Type", "0"))
        check("%s runs the stopper from a Binary row" % name,
              kind & 0x3F == TYPE_EXE_FROM_BINARY and action.get("Source") in binaries, (kind, action.get("Source")))
        check("... deferred, as LocalSystem, %s, %s" % (
                  "at rollback only" if bits & ROLLBACK else "in the install script",
                  "its exit code never failing the installer" if bits & CONTINUE else "a failure failing the install"),
              kind & ~0x3F == IN_SCRIPT | NO_IMPERSONATE | bits, hex(kind))
        check("... with the arguments %s" % target, action.get("Target") == target, action.get("Target"))
    stop = actions.get("StopRunningInstance", {})
    check("the package's custom actions are these five: no action of the tests' own ships",
          sorted(actions) == sorted(name for name, _, _ in stopper_actions), sorted(actions))
    check("nothing of the stopper's is left in the install folder to remove",
          not table(package, "RemoveFile") if "RemoveFile" in tables(package) else True)

    sequence = {row["Action"]: row for row in table(package, "InstallExecuteSequence")}
    at = {name: int(row["Sequence"]) for name, row in sequence.items()}
    for name in ("StopRunningInstance", "RestartOnRollback", "StopForUpdate"):
        check("%s runs after the Restart Manager's InstallValidate and InstallInitialize, "
              "before RemoveFiles and InstallFiles" % name,
              at.get("InstallValidate", 1 << 30) < at.get("InstallInitialize", 1 << 30) < at.get(name, -1)
              < at.get("RemoveFiles", -1) < at.get("InstallFiles", -1), at)
    condition = {name: sequence.get(name, {}).get("Condition", "") for name, _, _ in stopper_actions}
    check("... one only on uninstall, the other on repair and upgrade, and never both",
          condition["StopRunningInstance"] == 'Installed AND REMOVE~="ALL"' and
          condition["StopForUpdate"] == '(Installed OR WIX_UPGRADE_DETECTED) AND NOT REMOVE~="ALL"', condition)
    check("the program is started again after an upgrade or repair, once the older product is gone",
          condition["RestartInstances"] == condition["StopForUpdate"] and
          at.get("RemoveExistingProducts", 1 << 30) < at.get("RestartInstances", -1) < at.get("InstallFinalize", -1),
          (condition["RestartInstances"], at))
    # A rollback action undoes what comes after it in the script: it must come before the stop.
    check("what the stop closed is started again at rollback: the rollback action comes right before the stop, "
          "on the same condition",
          condition["RestartOnRollback"] == condition["StopForUpdate"] and
          at.get("RestartOnRollback", 1 << 30) < at.get("StopForUpdate", -1) and
          not any(at.get("RestartOnRollback", 0) < s < at.get("StopForUpdate", 0) for s in at.values()),
          (condition["RestartOnRollback"], at))
    check("the preset is applied once the settings file is in place, before the program is started again",
          condition["ApplySetting"] == 'APPLYSETTING AND NOT REMOVE~="ALL"' and
          at.get("InstallFiles", 1 << 30) < at.get("ApplySetting", -1) < at.get("RestartInstances", -1),
          (condition["ApplySetting"], at))
    check("the older product is removed after InstallExecute, inside the transaction",
          at.get("InstallExecute", 1 << 30) < at.get("RemoveExistingProducts", -1) < at.get("InstallFinalize", -1), at)

    upgrades = table(package, "Upgrade")
    older = [u for u in upgrades if u["ActionProperty"] == "WIX_UPGRADE_DETECTED"]
    check("an older version is upgraded", len(older) == 1 and older[0]["VersionMax"] == version and
          not int(older[0]["Attributes"]) & 2, older)
    newer = [u for u in upgrades if u["ActionProperty"] == "WIX_DOWNGRADE_DETECTED"]
    launch = {c["Condition"]: c["Description"] for c in table(package, "LaunchCondition")}
    check("a newer version refuses the install", len(newer) == 1 and int(newer[0]["Attributes"]) & 2 and
          "NOT WIX_DOWNGRADE_DETECTED" in launch, sorted(launch))
    presets = [p.get("Number") for p in ET.parse(os.path.join(files, "QuarnVelmora.exe.config")).getroot()
               .iter("preset")]
    wanted = " OR ".join(["NOT APPLYSETTING"] + ['APPLYSETTING="%s"' % n for n in presets])
    check("APPLYSETTING takes the presets of the shipped settings file (%s) and nothing else" % ", ".join(presets),
          wanted in launch and "[APPLYSETTING]" in launch[wanted], sorted(launch))
    check("... and reaches the installer's service", "APPLYSETTING" in properties.get("SecureCustomProperties", "").split(";"),
          properties.get("SecureCustomProperties"))

    with tempfile.TemporaryDirectory() as extracted:
        subprocess.run(["msiextract", "-C", extracted, package], check=True, capture_output=True)
        for name in ("QuarnVelmora.exe", "QuarnVelmora.exe.config", "QuarnVelmora.wprp"):
            found = [os.path.join(d, name) for d, _, fs in os.walk(extracted) if name in fs]
            same = len(found) == 1 and open(found[0], "rb").read() == open(os.path.join(files, name), "rb").read()
            check("the package carries %s as built" % name, same)
        stopper = subprocess.run(["msiinfo", "extract", package, "Binary." + stop.get("Source", "")],
                                 capture_output=True).stdout
        check("the package carries the stopper as built",
              stopper == open(os.path.join(files, "StopQuarnVelmora.exe"), "rb").read())

    print("package tables: %d failed" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
