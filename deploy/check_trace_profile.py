#!/usr/bin/env python3
"""Checks the Windows Performance Recorder profile against the code that writes the trace.

    check_trace_profile.py QuarnVelmora.wprp trace/win/trace_etw.cpp trace/trace.h

The profile must be well-formed XML with a file and a memory profile, each collecting the
provider whose GUID trace_etw.cpp registers, at a level that takes every event trace.h
declares. The same checks then run on copies with one fault each, which must be caught.
"""
import re
import sys
import xml.etree.ElementTree as ET


def code_provider_guid(etw_source):
    """The GUID that EventRegister gets, as text; its comment must say the same."""
    m = re.search(r"GUID\s+kProviderGuid\s*=\s*\{\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)"
                  r"\s*,\s*\{([^}]*)\}\s*\}", etw_source)
    if not m:
        raise ValueError("trace_etw.cpp: no kProviderGuid initialiser")
    tail = [int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]+)", m.group(4))]
    if len(tail) != 8:
        raise ValueError("trace_etw.cpp: kProviderGuid needs 8 trailing bytes")
    guid = "%08X-%04X-%04X-%02X%02X-%s" % (int(m.group(1), 16), int(m.group(2), 16), int(m.group(3), 16),
                                           tail[0], tail[1], "".join("%02X" % b for b in tail[2:]))
    comment = re.search(r"//\s*\{([0-9A-Fa-f-]{36})\}\s*\n\s*constexpr GUID kProviderGuid", etw_source)
    if not comment or comment.group(1).upper() != guid:
        raise ValueError("trace_etw.cpp: the comment above kProviderGuid does not spell %s" % guid)
    return guid


def code_events(trace_header):
    """{event id: level} of the trace's event descriptors."""
    events = {int(i): int(level) for i, level in
              re.findall(r"TraceEventDescriptor\s+TRACE_EVENT_\w+\{(\d+),\s*\d+,\s*\d+,\s*(\d+)", trace_header)}
    if not events:
        raise ValueError("trace.h: no event descriptors")
    return events


def check_profile(profile_text, guid, events):
    """A list of what is wrong with the profile (empty when nothing is)."""
    try:
        root = ET.fromstring(profile_text)
    except ET.ParseError as error:
        return ["not well-formed XML: %s" % error]
    problems = []
    if root.tag != "WindowsPerformanceRecorder":
        problems.append("root element is %s" % root.tag)
    profiles = root.find("Profiles")
    if profiles is None:
        return problems + ["no Profiles element"]
    providers = {p.get("Id"): p for p in profiles.findall("EventProvider")}
    collectors = {c.get("Id") for c in profiles.findall("EventCollector")}
    by_id = {p.get("Id"): p for p in profiles.findall("Profile")}
    modes = set()
    for pid, profile in by_id.items():
        modes.add(profile.get("LoggingMode"))
        # A profile with a Base inherits its collectors.
        source = profile
        seen = set()
        while source.find("Collectors") is None and source.get("Base") in by_id and source.get("Base") not in seen:
            seen.add(source.get("Base"))
            source = by_id[source.get("Base")]
        refs = source.findall("./Collectors/EventCollectorId")
        if not refs:
            problems.append("profile %s collects nothing" % pid)
        for ref in refs:
            if ref.get("Value") not in collectors:
                problems.append("profile %s names an unknown collector %s" % (pid, ref.get("Value")))
            names = [providers[p.get("Value")] for p in ref.findall("./EventProviders/EventProviderId")
                     if p.get("Value") in providers]
            ours = [p for p in names if p.get("Name", "").strip("{}").upper() == guid]
            if not ours:
                problems.append("profile %s does not collect provider {%s}" % (pid, guid))
            for provider in ours:
                level = int(provider.get("Level", "0"))
                missing = sorted(i for i, needed in events.items() if level < needed)
                if missing:
                    problems.append("provider level %d drops events %s" % (level, missing))
    if modes != {"File", "Memory"}:
        problems.append("logging modes %s, want a File and a Memory profile" % sorted(m or "" for m in modes))
    return problems


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    profile_text = open(argv[1], encoding="utf-8").read()
    guid = code_provider_guid(open(argv[2], encoding="utf-8").read())
    events = code_events(open(argv[3], encoding="utf-8").read())
    if sorted(events) != [16, 17, 18]:
        print("trace.h declares events %s" % sorted(events))
        return 1

    problems = check_profile(profile_text, guid, events)
    for problem in problems:
        print("FAILED: %s" % problem)
    if not problems:
        print("ok: the profile collects {%s}, events %s, in file and memory mode" % (guid, sorted(events)))

    # The check itself must catch each fault.
    faults = {
        "another GUID": profile_text.replace(guid, guid[:-1] + ("0" if guid[-1] != "0" else "1")),
        "a lower level": re.sub(r'Level="\d"', 'Level="3"', profile_text),
        "broken XML": profile_text.replace("</Profiles>", "", 1),
        "no memory profile": re.sub(r'LoggingMode="Memory"', 'LoggingMode="File"', profile_text),
    }
    for name, text in faults.items():
        if not check_profile(text, guid, events):
            print("FAILED: a profile with %s passes the check" % name)
            problems.append(name)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
