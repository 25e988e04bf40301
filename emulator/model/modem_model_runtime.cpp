// ModemModel's Windows Runtime and Configuration Manager requests ("rt ...") and their faults.
#include "emulator/model/modem_model.h"

#include <algorithm>
#include <chrono>

#include "emulator/model/modem_model_text.h"

namespace emu {

using namespace model_text;

namespace {

constexpr uint32_t kMaxEventWaitMs = 30000;
constexpr uint32_t kServerUnavailable = 0x800706BA;  // RPC_S_SERVER_UNAVAILABLE
constexpr uint32_t kAccessDenied = 0x80070005;  // E_ACCESSDENIED

// "\\?\USB#VID..#6&..#{class}" -> "USB\VID..\6&..", as Windows forms instance ids.
std::string InstanceIdOf(const std::string& path) {
    std::string id = path.substr(4, path.rfind('#') - 4);
    std::replace(id.begin(), id.end(), '#', '\\');
    return id;
}

}  // namespace

std::string ModemModel::HandleRuntimeFault(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    const std::string& what = words[1];
    uint32_t value = 0;
    if (what == "activation" && n >= 3 && n <= 5 && ParseNumber(words[2], &value)) {
        RuntimeFaults faults = m_Runtime;
        faults.ActivationFailures = value;
        faults.ActivationClass.clear();
        for (std::size_t i = 3; i < n; ++i) {
            uint32_t code = 0;
            if (words[i] == "modem" || words[i] == "watcher" || words[i] == "buffer") {
                faults.ActivationClass = words[i];
            } else if (ParseHex(words[i], &code)) {
                faults.ActivationResult = code;
            } else {
                return Error("fault activation takes N [modem|watcher|buffer] [HEX]");
            }
        }
        m_Runtime = faults;
        return Ok();
    }
    if (what == "denied" && n >= 3) {
        std::set<std::string> denied = m_Runtime.Denied;
        for (std::size_t i = 2; i < n; ++i) {
            if (words[i] == "all") {
                denied = {"default", "session", "set", "watcher"};
            } else if (words[i] == "default" || words[i] == "session" || words[i] == "set" || words[i] == "watcher") {
                denied.insert(words[i]);
            } else {
                return Error("fault denied takes default, session, set, watcher or all");
            }
        }
        m_Runtime.Denied = denied;
        return Ok();
    }
    if ((what == "session" || what == "operation" || what == "response") && n == 3 &&
        (words[2] == "null" || words[2] == "normal")) {
        const bool null = words[2] == "null";
        (what == "session" ? m_Runtime.NullSession : what == "operation" ? m_Runtime.NullOperation
                                                                          : m_Runtime.NullResponse) = null;
        return Ok();
    }
    if (what == "completion" && n >= 3) {
        using Completion = RuntimeFaults::Completion;
        uint32_t code = 0x80004005;
        if (n == 3 && words[2] == "normal") {
            m_Runtime.Ending = Completion::Normal;
        } else if (n == 3 && words[2] == "inline") {
            m_Runtime.Ending = Completion::Inline;
        } else if (n == 3 && words[2] == "canceled") {
            m_Runtime.Ending = Completion::Canceled;
        } else if (words[2] == "error" && (n == 3 || (n == 4 && ParseHex(words[3], &code)))) {
            m_Runtime.Ending = Completion::Error;
            m_Runtime.ErrorCode = code;
        } else {
            return Error("fault completion takes normal, inline, error [HEX] or canceled");
        }
        return Ok();
    }
    if (what == "results" && n == 3) {
        if (words[2] == "normal") {
            m_Runtime.ResultsFailure = -1;
            return Ok();
        }
        if (ParseHex(words[2], &value)) {
            m_Runtime.ResultsFailure = value;
            return Ok();
        }
    }
    if (what == "answer" && ParseNumber(words[3], &value)) {
        m_Runtime.AnswerBytes = value;
        return Ok();
    }
    return Error("unknown fault; see emulator/README.md");
}

std::string ModemModel::HandleCmFault(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    uint32_t value = 0;
    if (n == 3 && words[1] == "cm" && (words[2] == "size-short" || words[2] == "list-fails")) {
        (words[2] == "size-short" ? m_CmSizeShort : m_CmListFails) = true;
        return Ok();
    }
    if (n == 6 && words[1] == "cm" && words[2] == "change-after" && (words[3] == "list" || words[3] == "register") &&
        ParseNumber(words[4], &value) && value > 0) {
        static const std::pair<const char*, ModemPresence> presences[] = {{"none", ModemPresence::None},
                                                                          {"4g", ModemPresence::Usb4G},
                                                                          {"5g", ModemPresence::Pcie5G},
                                                                          {"both", ModemPresence::Both}};
        for (const auto& [name, presence] : presences) {
            if (words[5] == name) {
                m_CmChange = {words[3] == "list" ? CmChangeFault::After::List : CmChangeFault::After::Registration,
                              value, presence, name};
                return Ok();
            }
        }
    }
    return Error("unknown fault; see emulator/README.md");
}

bool ModemModel::DeniedLocked(const std::string& call, const std::string& entry) {
    if (m_Runtime.Denied.count(call) == 0) {
        return false;
    }
    RecordLocked(entry);
    return true;
}

std::string ModemModel::RuntimeFlagsLocked() const {
    using Completion = RuntimeFaults::Completion;
    std::string flags;
    if (m_Runtime.Ending == Completion::Inline) {
        flags += " inline";
    } else if (m_Runtime.Ending == Completion::Error) {
        flags += " error=" + HexResult(m_Runtime.ErrorCode);
    } else if (m_Runtime.Ending == Completion::Canceled) {
        flags += " canceled";
    }
    if (m_Runtime.ResultsFailure >= 0) {
        flags += " results=" + HexResult(static_cast<uint32_t>(m_Runtime.ResultsFailure));
    }
    if (m_Runtime.NullResponse) {
        flags += " noresponse";
    }
    return flags;
}

std::string ModemModel::HandleRuntime(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock) {
    const std::size_t n = words.size();
    const std::string sub = n > 1 ? words[1] : "";
    const bool hasModem = m_Presence != ModemPresence::None;
    const bool serviceCall = sub == "default" || sub == "status" || sub == "service" || sub == "activate" ||
                             sub == "open" || sub == "set" || (sub == "watcher" && n == 3 && words[2] == "start");
    if (serviceCall && RefusedByServiceLocked("rt " + sub)) {
        return Ok("fail " + HexResult(kServerUnavailable));
    }
    if (sub == "default" && n == 2) {
        if (DeniedLocked("default", "default modem denied")) {
            return Ok("fail " + HexResult(kAccessDenied));
        }
        return Ok(hasModem ? (IsDefault5GLocked() ? "5g" : "4g") : "none");
    }
    if (sub == "status" && n == 2) {
        return hasModem ? Ok(std::to_string(NetworkDeviceStatusLocked())) : Error("no modem");
    }
    if (sub == "service" && n == 3) {
        if (m_Runtime.ServiceFailure >= 0) {
            return Ok("fail " + HexResult(static_cast<uint32_t>(m_Runtime.ServiceFailure)));
        }
        if (!hasModem || m_ServiceMissing || Upper(words[2]) != kVendorAtService) {
            return Error("no such device service");
        }
        return Ok();
    }
    if ((sub == "sizing" || sub == "listing") && n == 2) {
        bool& fault = sub == "sizing" ? m_CmSizeShort : m_CmListFails;
        if (!fault) {
            return Ok();
        }
        fault = false;
        RecordLocked(sub == "sizing" ? "size call one entry short" : "list call failed");
        return Ok(sub == "sizing" ? "short" : "fail");
    }
    if ((sub == "listed" || sub == "registered") && n == 2) {
        const auto when = sub == "listed" ? CmChangeFault::After::List : CmChangeFault::After::Registration;
        if (m_CmChange.When == when && --m_CmChange.Remaining == 0) {
            RecordLocked("modems become " + m_CmChange.Name + " after a " +
                         (sub == "listed" ? "list call" : "registration"));
            SetPresenceLocked(m_CmChange.Presence);
            m_CmChange = CmChangeFault{};
            return Ok("changed");  // the facade delivers the change before the call returns
        }
        return Ok();
    }
    if (sub == "activate" && n == 3) {
        if (words[2] == "watcher" && DeniedLocked("watcher", "activation watcher denied")) {
            return Ok("fail " + HexResult(kAccessDenied));
        }
        if (m_Runtime.ActivationFailures > 0 &&
            (m_Runtime.ActivationClass.empty() || m_Runtime.ActivationClass == words[2])) {
            --m_Runtime.ActivationFailures;
            RecordLocked("activation " + words[2] + " failed");
            return Ok("fail " + HexResult(m_Runtime.ActivationResult));
        }
        return Ok();
    }
    if (sub == "open" && n == 2) {
        if (!hasModem || m_ServiceMissing) {
            return Error("no device service");
        }
        if (DeniedLocked("session", "session denied")) {
            return Ok("fail " + HexResult(kAccessDenied));
        }
        if (m_Runtime.NullSession) {
            RecordLocked("session none");
            return Ok("null");
        }
        const uint64_t session = m_NextSession++;
        RecordLocked("session " + std::to_string(session) + " open");
        return Ok(std::to_string(session));
    }
    if (sub == "close" && n == 3) {
        RecordLocked("session " + words[2] + " close");
        return Ok();
    }
    if (sub == "set" && (n == 5 || n == 4)) {
        uint32_t commandId = 0;
        std::string payload;
        if (!ParseNumber(words[3], &commandId) || !FromHex(n == 5 ? words[4] : "", &payload)) {
            return Error("rt set takes SESSION COMMAND HEX");
        }
        if (DeniedLocked("set", "session " + words[2] + " set denied")) {
            return Ok("fail " + HexResult(kAccessDenied));
        }
        if (m_Runtime.NullOperation) {
            RecordLocked("session " + words[2] + " set refused");
            return Ok("nooperation");
        }
        AtReply reply = AnswerLocked(commandId, payload, IsDefault5GLocked());
        if (reply.Silent) {
            return Ok("silent" + RuntimeFlagsLocked());
        }
        if (m_Runtime.AnswerBytes >= 0) {
            reply.Response = PatternBytes(static_cast<std::size_t>(m_Runtime.AnswerBytes));
        }
        return Ok(std::to_string(reply.DelayMs) + " " + std::to_string(reply.Status) + " " +
                  (reply.Response.empty() ? "-" : ToHex(reply.Response)) + RuntimeFlagsLocked() +
                  (reply.RaisedEvent != 0 ? " update=" + std::to_string(reply.RaisedEvent) : ""));
    }
    if (sub == "interfaces" && n == 2) {
        std::string reply = Ok();
        for (const std::string& path : InterfacePathsLocked()) {
            reply += "\n" + path;
        }
        return reply;
    }
    if (sub == "instance" && n == 3) {
        const std::vector<std::string> paths = InterfacePathsLocked();
        if (std::find(paths.begin(), paths.end(), words[2]) == paths.end()) {
            return Error("no such interface");
        }
        return Ok(InstanceIdOf(words[2]));
    }
    if (sub == "driver" && n == 3) {
        for (const std::string& path : InterfacePathsLocked()) {
            if (InstanceIdOf(path) == words[2]) {
                const bool is4G = path.find("VID_5A3E") != std::string::npos;
                const bool is5G = path.find("VEN_14C3") != std::string::npos;
                return Ok(is4G ? m_DriverVersion4G : is5G ? m_DriverVersion5G : "10.0.19041.1");
            }
        }
        return Error("no such device");
    }
    if (sub == "watcher" && n == 3 && (words[2] == "start" || words[2] == "stop")) {
        RecordLocked("watcher " + words[2]);
        if (words[2] == "stop") {
            // Wakes the stopped watcher's follower from its long poll, so that it lets go of
            // its watcher now rather than at the poll's end.
            RaiseLocked("watcher-stopped", "-", false, false);
            return Ok();
        }
        const std::string mode = m_Enumeration == EnumerationMode::Complete ? "complete"
                                 : m_Enumeration == EnumerationMode::Never  ? "never"
                                 : m_Enumeration == EnumerationMode::Abort  ? "abort"
                                                                            : "after " + std::to_string(m_EnumerationAfterMs);
        std::string data = mode + " " + std::to_string(m_NextEvent - 1);
        for (const std::string& id : AccountIdsLocked()) {
            data += " " + id;
        }
        return Ok(data);
    }
    if (sub == "events" && n == 4) {
        uint32_t after = 0;
        uint32_t timeoutMs = 0;
        if (!ParseNumber(words[2], &after) || !ParseNumber(words[3], &timeoutMs)) {
            return Error("rt events takes AFTER TIMEOUT_MS");
        }
        const auto pending = [&] { return !m_Events.empty() && m_Events.back().Sequence > after; };
        auto waitUntil = Clock::now() + std::chrono::milliseconds(std::min(timeoutMs, kMaxEventWaitMs));
        if (m_ServiceDown) {
            waitUntil = std::min(waitUntil, m_ServiceUpAt);  // its coming back raises events
        }
        m_Changed.wait_until(lock, waitUntil, pending);
        ServiceTickLocked();
        std::string reply = Ok();
        for (const MachineEvent& event : m_Events) {
            if (event.Sequence > after) {
                reply += "\n" + std::to_string(event.Sequence) + " " + event.Kind + " " + event.Subject + " " +
                         (event.DeviceInformationChanged ? "1" : "0") + " " + (event.NetworkChanged ? "1" : "0");
            }
        }
        return reply;
    }
    return Error("unknown runtime request");
}

}  // namespace emu
