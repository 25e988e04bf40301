// ModemModel's Mobile Broadband interfaces: their states, scripted faults and notifications.
#include "emulator/model/modem_model.h"

#include <algorithm>

#include "emulator/model/modem_model_text.h"

namespace emu {

using namespace model_text;

std::vector<std::string> ModemModel::MbnInterfacesLocked() const {
    std::vector<std::string> ids;
    if (m_Presence == ModemPresence::Usb4G || m_Presence == ModemPresence::Both) {
        ids.push_back(MBN_INTERFACE_4G);
    }
    if (m_Presence == ModemPresence::Pcie5G || m_Presence == ModemPresence::Both) {
        ids.push_back(MBN_INTERFACE_5G);
    }
    return ids;
}

bool ModemModel::MbnInterfacePresentLocked(const std::string& id) const {
    const std::vector<std::string> ids = MbnInterfacesLocked();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

int32_t ModemModel::MbnReadyStateLocked() const {
    if (m_MbnReadyOverride >= 0) {
        return m_MbnReadyOverride;
    }
    return m_SimPresent && m_SimPowered ? MBN_READY_INITIALIZED : MBN_READY_SIM_NOT_INSERTED;
}

void ModemModel::SyncMbnReadyLocked() {
    const int32_t ready = MbnReadyStateLocked();
    std::map<std::string, int32_t> now;
    for (const std::string& id : MbnInterfacesLocked()) {
        const auto seen = m_MbnReadySeen.find(id);
        // An interface that just arrived has no earlier state to change from.
        if (seen != m_MbnReadySeen.end() && seen->second != ready) {
            RaiseLocked("mbn-ready", id, false, false);
        }
        now[id] = ready;
    }
    m_MbnReadySeen = std::move(now);
}

void ModemModel::RaiseMbnLocked(const std::string& kind) {
    for (const std::string& id : MbnInterfacesLocked()) {
        RaiseLocked(kind, id, false, false);
    }
}

void ModemModel::ClearMbnFaultsLocked() {
    m_MbnRequestFaults = {};
    m_MbnCpFaults.clear();
    m_MbnSessionStateFault = -1;
    m_MbnContextFault = -1;
    m_MbnConnectionFault = MbnConnectionFault::None;
    m_MbnConnectionResult = 0;
    m_MbnUnadviseWaits = false;
    m_MbnNested = false;
    m_MbnSignalMissing = false;
    m_MbnNextRequestId = -1;
}

void ModemModel::ResetMbnLocked() {
    ClearMbnFaultsLocked();
    m_MbnReadyOverride = -1;
    m_MbnSoftwareRadio = m_MbnHardwareRadio = 1;
    m_MbnRegisterState = 3;
    m_MbnSignal = 20;
    m_MbnActivation = 3;
    m_MbnOpenSessions.clear();
}

std::string ModemModel::HandleMbn(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    const std::string sub = n > 1 ? words[1] : "";
    uint32_t value = 0;
    uint32_t hardware = 0;
    if (sub == "rt") {
        return HandleMbnRuntime(words);
    }
    if (sub == "fault") {
        return HandleMbnFault(words);
    }
    if (sub == "notify") {
        return HandleMbnNotify(words);
    }
    if (sub == "ready" && n == 3 && words[2] == "auto") {
        m_MbnReadyOverride = -1;
        return Ok();
    }
    if (sub == "ready" && n == 3 && ParseNumber(words[2], &value) && value <= 8) {
        m_MbnReadyOverride = static_cast<int32_t>(value);
        return Ok();
    }
    if (sub == "radio" && n == 4 && ParseNumber(words[2], &value) && ParseNumber(words[3], &hardware) &&
        value <= 1 && hardware <= 1) {
        const bool changed = value != m_MbnSoftwareRadio || hardware != m_MbnHardwareRadio;
        m_MbnSoftwareRadio = value;
        m_MbnHardwareRadio = hardware;
        if (changed) {
            RaiseMbnLocked("mbn-radio");
        }
        return Ok();
    }
    if (sub == "register" && n == 3 && ParseNumber(words[2], &value) && value <= 6) {
        const bool changed = value != m_MbnRegisterState;
        m_MbnRegisterState = value;
        if (changed) {
            RaiseMbnLocked("mbn-register");
        }
        return Ok();
    }
    if (sub == "signal" && n == 3 && ParseNumber(words[2], &value) && value <= 99) {
        const bool changed = value != m_MbnSignal;
        m_MbnSignal = value;
        if (changed) {
            RaiseMbnLocked("mbn-signal");
        }
        return Ok();
    }
    if (sub == "activation" && n == 3 && ParseNumber(words[2], &value) && value <= 4) {
        m_MbnActivation = value;
        return Ok();
    }
    return Error("mbn takes ready auto|0..8, radio SW HW, register 0..6, signal 0..99, activation 0..4, "
                 "fault ..., notify ... or rt ...");
}

std::string ModemModel::HandleMbnFault(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    const std::string what = n > 2 ? words[2] : "";
    const std::string last = words.back();
    uint32_t value = 0;
    if (what == "none" && n == 3) {
        ClearMbnFaultsLocked();
        return Ok();
    }
    if (what == "cp" && n == 6 && IsMbnEventInterface(words[3])) {
        MbnConnectionPointFault& fault = m_MbnCpFaults[words[3]];
        if (words[4] == "find" && (last == "none" || last == "null" || ParseHex(last, &value))) {
            fault.FindMode = last == "none"   ? MbnConnectionPointFault::Find::Normal
                             : last == "null" ? MbnConnectionPointFault::Find::Null
                                              : MbnConnectionPointFault::Find::Fail;
            fault.FindResult = value;
            return Ok();
        }
        if (words[4] == "advise" && (last == "none" || ParseHex(last, &value))) {
            fault.AdviseFails = last != "none";
            fault.AdviseResult = value;
            return Ok();
        }
        return Error("mbn fault cp EVENTS takes find HEX|null|none or advise HEX|none");
    }
    if (what == "cp") {
        return Error("mbn fault cp takes one of InterfaceManagerEvents InterfaceEvents RegistrationEvents "
                     "SignalEvents RadioEvents ConnectionManagerEvents ConnectionEvents DeviceServicesEvents");
    }
    const int index = MbnRequestIndex(what);
    if (index >= 0) {
        MbnRequestFault& fault = m_MbnRequestFaults[static_cast<std::size_t>(index)];
        const std::string kind = n > 3 ? words[3] : "";
        const bool command = what == "set" || what == "query";
        if (kind == "delay" && n == 5) {
            if (last == "never") {
                fault.Timing = MbnTiming::Never;
            } else if (last == "normal") {
                fault.Timing = MbnTiming::Normal;
            } else if (ParseNumber(last, &value)) {
                fault.Timing = MbnTiming::Delayed;
                fault.DelayMs = value;
            } else {
                return Error("mbn fault " + what + " delay takes MS, never or normal");
            }
            return Ok();
        }
        if ((kind == "early" || kind == "early-foreign" || kind == "late-foreign") && n == 4) {
            fault.Timing = kind == "early"           ? MbnTiming::Early
                           : kind == "early-foreign" ? MbnTiming::EarlyForeign
                                                     : MbnTiming::LateForeign;
            return Ok();
        }
        if (kind == "early-stale" && n == 5 && ParseNumber(last, &value) && value >= 1 && value <= 16) {
            fault.Timing = MbnTiming::EarlyStale;
            fault.StaleCount = value;
            return Ok();
        }
        if ((kind == "status" || kind == "result") && n == 5 && ParseHex(last, &value)) {
            (kind == "status" ? fault.Status : fault.Result) = value;
            return Ok();
        }
        if (kind == "requestid" && n == 5 && (last == "foreign" || last == "own")) {
            fault.ForeignRequestId = last == "foreign";
            return Ok();
        }
        if (kind == "response-size" && n == 5 && command && ParseNumber(last, &value)) {
            fault.ResponseSize = value;
            return Ok();
        }
        return Error("mbn fault " + what + " takes delay MS|never|normal, early, early-foreign, status HEX, result HEX, "
                     "requestid foreign|own" + (command ? " or response-size N" : ""));
    }
    if (what == "unadvise" && n == 4 && (last == "wait" || last == "normal")) {
        m_MbnUnadviseWaits = last == "wait";
        return Ok();
    }
    if (what == "nested" && n == 4 && (last == "on" || last == "off")) {
        m_MbnNested = last == "on";
        return Ok();
    }
    if (what == "signal" && n == 4 && (last == "missing" || last == "present")) {
        m_MbnSignalMissing = last == "missing";
        return Ok();
    }
    if (what == "requestids" && n == 4 && (last == "none" || ParseNumber(last, &value))) {
        m_MbnNextRequestId = last == "none" ? -1 : static_cast<int64_t>(value);
        return Ok();
    }
    if ((what == "sessionstate" || what == "context") && n == 4 && (last == "none" || ParseHex(last, &value))) {
        (what == "sessionstate" ? m_MbnSessionStateFault : m_MbnContextFault) =
            last == "none" ? -1 : static_cast<int64_t>(value);
        return Ok();
    }
    if (what == "connection" && n == 4) {
        if (last == "none") {
            m_MbnConnectionFault = MbnConnectionFault::None;
        } else if (last == "pending-null") {
            m_MbnConnectionFault = MbnConnectionFault::PendingNull;
        } else if (ParseHex(last, &value)) {
            m_MbnConnectionFault = MbnConnectionFault::Fail;
            m_MbnConnectionResult = value;
        } else {
            return Error("mbn fault connection takes HEX, pending-null or none");
        }
        return Ok();
    }
    return Error("unknown mbn fault; see emulator/README.md");
}

std::string ModemModel::HandleMbnNotify(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    const std::string kind = n > 2 ? words[2] : "";
    const std::vector<std::string> ids = MbnInterfacesLocked();
    if (ids.empty()) {
        return Error("no modem");
    }
    const std::string& id = ids.front();
    uint32_t value = 0;
    uint32_t status = 0;
    if (n == 3 && (kind == "ready" || kind == "register" || kind == "signal" || kind == "radio" ||
                   kind == "arrival" || kind == "removal")) {
        RaiseLocked("mbn-" + kind, id, false, false);
        return Ok();
    }
    if (n == 4 && kind == "signal" && words[3] == "held") {
        RaiseLocked("mbn-signal-held", id, false, false);
        return Ok();
    }
    if (n == 5 && (kind == "set-complete" || kind == "query-complete") && ParseNumber(words[3], &value) &&
        ParseHex(words[4], &status)) {
        RaiseLocked("mbn-" + kind, id + ";" + std::to_string(value) + ";" + HexResult(status), false, false);
        return Ok();
    }
    if (n == 4 && kind == "supported" && ParseNumber(words[3], &value) && value <= 65536) {
        RaiseLocked("mbn-supported", id + ";" + std::to_string(value), false, false);
        return Ok();
    }
    return Error("mbn notify takes ready, register, signal [held], radio, arrival, removal, "
                 "set-complete REQID STATUS, query-complete REQID STATUS or supported N");
}

}  // namespace emu
