#!/usr/bin/env python3
"""Turns a recorded API facts file (../shared/winapi/*.md) into one macro line per fact, for
compat/declarations_test.cpp to compile as checks of the matching compat header:

  api_facts.py FACTS.md HEADER.h OUT.inc

Facts that disagree with themselves, and IIDs, CLSIDs or runtime-class names the header
declares without a facts row, stop the build here with a message."""
import re
import sys

GUID = re.compile(r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}")
PARAM = re.compile(r"\b(?:in|out)(?:, retval)?:\s*")
FIRST_SLOT = {"IUnknown": 3, "IInspectable": 6}
# The names the compat header gives the generic instances it declares (whitespace removed).
INSTANCE_NAMES = {
    "IVectorView<String>": "IVectorView_String",
    "IVectorView<UInt32>": "IVectorView_UInt32",
    "IVectorView<MobileBroadbandDeviceServiceInformation>": "IVectorView_DeviceServiceInformation",
    "IAsyncOperation<MobileBroadbandModemConfiguration>": "IAsyncOperation_ModemConfiguration",
    "IAsyncOperation<MobileBroadbandDeviceServiceCommandResult>": "IAsyncOperation_CommandResult",
    "AsyncOperationCompletedHandler<MobileBroadbandDeviceServiceCommandResult>":
        "IAsyncOperationCompletedHandler_CommandResult",
    "TypedEventHandler<MobileBroadbandAccountWatcher,MobileBroadbandAccountEventArgs>":
        "ITypedEventHandler_Watcher_AccountEventArgs",
    "TypedEventHandler<MobileBroadbandAccountWatcher,MobileBroadbandAccountUpdatedEventArgs>":
        "ITypedEventHandler_Watcher_AccountUpdatedEventArgs",
    "TypedEventHandler<MobileBroadbandAccountWatcher,Object>": "ITypedEventHandler_Watcher_Object",
}


def fail(message):
    sys.exit(f"api_facts.py: {sys.argv[1]}: {message}")


def code(text):
    """The first code span; ``...`` spans may hold a backtick (generic arity)."""
    match = re.search(r"``(.+?)``", text) or re.search(r"`([^`]+)`", text)
    return match.group(1).strip() if match else ""


def guid_args(text):
    match = GUID.search(text)
    if not match:
        fail(f"no GUID in '{text}'")
    h = match.group(0).replace("-", "")
    return ", ".join(["0x" + h[:8], "0x" + h[8:12], "0x" + h[12:16]] + ["0x" + h[i:i + 2] for i in range(16, 32, 2)])


def cxx_type(text):
    """'IMbnInterface **' -> 'IMbnInterface**'; generic and dotted names as the header names them."""
    text = re.sub(r"\s+", "", text)
    base, stars = re.match(r"(.*?)(\**)$", text).groups()
    if "<" in base:
        if base not in INSTANCE_NAMES:
            fail(f"the compat header has no name for '{base}' (add it to INSTANCE_NAMES)")
        base = INSTANCE_NAMES[base]
    return base.split(".")[-1] + stars


def param_types(text):
    """'in: `LPCWSTR` id; out, retval: `IMbnInterface **` x' -> the types, in order."""
    starts = [m.end() for m in PARAM.finditer(text)]
    ends = [m.start() for m in PARAM.finditer(text)][1:] + [len(text)]
    types = []
    for begin, end in zip(starts, ends):
        piece = text[begin:end]
        types.append(code(piece) or re.sub(r"\s*\w+\s*[,;]?\s*$", "", piece))  # uncoded: drop the name
    return types


def parse(lines):
    facts = dict(classes={}, runtime_classes={}, interfaces={}, headings={}, methods={}, shapes={},
                 instances={}, enums={}, structs={}, constants={}, agile=None)
    section = subsection = ""
    for line in lines:
        line = line.strip()
        if match := re.search(r"`IAgileObject` `\{([^}]+)\}`", line):
            facts["agile"] = match.group(1)
        if line.startswith("## "):
            section, subsection = line[3:], ""
            continue
        if line.startswith("### "):
            subsection = line[4:]
            name = subsection.split(" ")[0]
            if section.startswith("Methods"):
                base = re.search(r"base `(\w+)`", subsection)
                facts["headings"][name] = (GUID.search(subsection).group(0).lower(), base and base.group(1))
                facts["methods"][name] = []
            elif section.startswith("Types passed"):
                size = re.search(r"(\d+) bytes on x64, (\d+) on x86", subsection)
                facts["structs"][name] = (size.groups(), [])
            continue
        if "Related constants" in line:
            facts["constants"].update(re.findall(r"`(\w+)` (\d+)", line))
        if not line.startswith("|") or set(line) <= set("|-: "):
            continue
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if section.startswith("Class identifiers") and GUID.search(cells[1]):
            facts["classes"][re.search(r"CLSID_(\w+)", cells[0]).group(1)] = cells[1]
        elif section.startswith("Runtime classes") and code(cells[0]).startswith("Windows."):
            facts["runtime_classes"][code(cells[0])] = code(cells[1])
        elif section.startswith("Interface identifiers") and GUID.search(cells[1]):
            slots = [int(n) for n in re.findall(r"\d+", cells[4])]
            facts["interfaces"][code(cells[0]).split(".")[-1]] = (
                GUID.search(cells[1]).group(0).lower(), code(cells[2]), int(cells[3]), slots[0], slots[-1])
        elif section.startswith("Methods") and cells[0].isdigit():
            facts["methods"][subsection.split(" ")[0]].append((int(cells[0]), code(cells[1]), param_types(cells[2])))
        elif subsection.startswith("Generic shapes") and GUID.search(cells[1]):
            name, params = re.match(r"(?:.*\.)?(\w+)`\d+<(.*)>", code(cells[0])).groups()
            methods = [(int(slot), method, param_types(ps))
                       for slot, method, ps in re.findall(r"(\d+) `(\w+)\(([^)]*)\)`", cells[3])]
            facts["shapes"][name] = ([p.strip() for p in params.split(",")], code(cells[2]), methods)
        elif subsection.startswith("Instance IIDs") and GUID.search(cells[2]):
            facts["instances"][code(cells[0])] = cells[2]
        elif section.startswith("Enumerations") and re.fullmatch(r"-?\d+", cells[1]):
            facts["enums"].setdefault(subsection.split(" ")[0], {})[code(cells[0])] = cells[1]
        elif section.startswith("Types passed") and cells[2].isdigit():
            field_type = re.split(r"[ (]", cells[1])[0]
            facts["structs"][subsection.split(" ")[0]][1].append((code(cells[0]), field_type, cells[2], cells[3]))
    return facts


def interface_lines(facts):
    for name, (iid, base, count, first, last) in facts["interfaces"].items():
        if name not in facts["headings"]:
            fail(f"{name} has no method table")
        if facts["headings"][name] != (iid, base):
            fail(f"{name}: the method table's heading gives {facts['headings'][name]}, the IID table {(iid, base)}")
        slots = [slot for slot, _, _ in facts["methods"][name]]
        if first != FIRST_SLOT.get(base) or slots != list(range(first, last + 1)) or len(slots) != count:
            fail(f"{name}: slots {first}-{last}, {count} methods and the method table {slots} disagree")
        yield f"FACT_INTERFACE({name}, {base}, {last + 1}, {guid_args(iid)})"
        for slot, method, types in facts["methods"][name]:
            yield f"FACT_METHOD({name}, {slot}, {method}, ({', '.join(map(cxx_type, types))}))"


def instance_lines(facts):
    """Each generic instance, with its shape's slots and the instance's own types."""
    def abi(arg):  # a runtime class travels as its default interface, Object as IInspectable
        if arg == "Object":
            return "IInspectable*"
        defaults = {name.split(".")[-1]: default for name, default in facts["runtime_classes"].items()}
        return defaults[arg] + "*" if defaults.get(arg) else arg

    for instance, iid_cell in facts["instances"].items():
        generic, args = re.match(r"(\w+)<(.*)>", instance).groups()
        args = [arg.strip() for arg in args.split(",")]
        params, base, methods = facts["shapes"][generic]
        slots = [slot for slot, _, _ in methods]
        if len(args) != len(params) or slots != list(range(FIRST_SLOT.get(base, -1), slots[-1] + 1)):
            fail(f"{instance} does not fit the shape of {generic}")
        name = cxx_type(instance)
        yield f"FACT_INTERFACE({name}, {base}, {slots[-1] + 1}, {guid_args(iid_cell)})"
        for slot, method, types in methods:
            concrete = []
            for text in types:
                for param, arg in zip(params, args):
                    text = re.sub(rf"\b{param}_abi\b", abi(arg), text)
                    text = re.sub(rf"\b{param}\b", arg, text)
                concrete.append(cxx_type(text))
            yield f"FACT_METHOD({name}, {slot}, {method}, ({', '.join(concrete)}))"


def value_lines(facts):
    for name, guid in facts["classes"].items():
        yield f"FACT_CLSID({name}, {guid_args(guid)})"
    if facts["agile"]:
        yield f"FACT_SYSTEM_IID(IAgileObject, {guid_args(facts['agile'])})"
    for heading, values in facts["enums"].items():
        enum = heading.split(".")[-1]
        for name, value in values.items():
            # A Runtime enumerator carries its enum's name, as in the SDK's ABI headers, except
            # where a mingw-w64 header declares the enum (asyncinfo.h): then its own spelling.
            if "." in heading:
                name = f"{enum}::{name}" if heading in facts["system_enums"] else f"{enum}_{name}"
            yield f"FACT_ENUM({enum}, {name}, {value})"
    for name, ((size64, size32), fields) in facts["structs"].items():
        yield f"FACT_STRUCT({name}, {size64}, {size32})"
        for field, field_type, offset64, offset32 in fields:
            yield f"FACT_FIELD({name}, {field}, {field_type}, {offset64}, {offset32})"
    for name, value in facts["constants"].items():
        yield f"FACT_CONSTANT({name}, {value})"


def main():
    facts_path, header_path, out_path = sys.argv[1:]
    with open(facts_path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    facts = parse(lines)
    for heading, kind in [("## Class identifiers", "classes"), ("## Interface identifiers", "interfaces"),
                          ("## Enumerations", "enums"), ("## Types passed", "structs"),
                          ("### Instance IIDs", "instances"), ("Related constants", "constants")]:
        if any(l.startswith(heading) for l in lines) and not facts[kind]:
            fail(f"no {kind} read under '{heading}': has the table changed its shape?")
    facts["system_enums"] = {l[4:].split(" ")[0] for l in lines if l.startswith("### ") and re.search(r"`\w+\.h`", l)}
    out = list(interface_lines(facts)) + list(instance_lines(facts)) + list(value_lines(facts))

    # Everything the header identifies by GUID or class name must have a facts row.
    with open(header_path, encoding="utf-8") as f:
        header = f.read()
    known = set(re.findall(r"^FACT_(?:INTERFACE|SYSTEM_IID)\((\w+)", "\n".join(out), re.M))
    runtime_ids = {name.replace(".", "_"): name for name in facts["runtime_classes"]}
    for name in re.findall(r"^\s*X\((\w+),", header, re.M) + re.findall(r"GUID IID_(\w+) =", header):
        if name not in known:
            fail(f"{header_path} declares IID_{name}, which has no facts row")
    for name in re.findall(r"GUID CLSID_(\w+) =", header):
        if name not in facts["classes"]:
            fail(f"{header_path} declares CLSID_{name}, which has no facts row")
    for name in re.findall(r"RuntimeClass_(\w+)\[\]", header):
        if name not in runtime_ids:
            fail(f"{header_path} declares RuntimeClass_{name}, which has no facts row")
        out.append(f'FACT_RUNTIME_CLASS({name}, L"{runtime_ids[name]}")')

    with open(out_path, "w", encoding="utf-8") as f:
        f.write(f"// Generated by compat/api_facts.py from {facts_path.split('/')[-1]}; do not edit.\n")
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
