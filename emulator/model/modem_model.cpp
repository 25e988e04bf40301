// ModemModel's entry points and request dispatch, the general faults, the state line and reset.
#include "emulator/model/modem_model.h"

#include <sstream>

#include "emulator/model/modem_model_text.h"

namespace emu {

using namespace model_text;

namespace {

const char* PresenceName(ModemPresence presence) {
    switch (presence) {
    case ModemPresence::Usb4G: return "4g";
    case ModemPresence::Pcie5G: return "5g";
    case ModemPresence::Both: return "both";
    case ModemPresence::None: break;
    }
    return "none";
}

}  // namespace

ModemModel::ModemModel() : m_Start(Clock::now()) {}

std::string ModemModel::Handle(const std::string& request) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    ServiceTickLocked();
    const std::string reply = HandleLocked(SplitWords(request), lock);
    SyncMbnReadyLocked();
    return reply;
}

std::string ModemModel::ApplyScenario(const std::string& text) {
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        line = line.substr(0, line.find('#'));
        if (SplitWords(line).empty()) {
            continue;
        }
        const std::string reply = Handle(line);
        if (reply.rfind("error:", 0) == 0) {
            return "error: line " + std::to_string(number) + ": " + reply.substr(7);
        }
    }
    return Ok();
}

std::string ModemModel::HandleLocked(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock) {
    if (words.empty()) {
        return Error("empty request");
    }
    const std::string& verb = words[0];
    const std::size_t n = words.size();
    if (verb == "rt") {
        return HandleRuntime(words, lock);
    }
    if (verb == "mbn") {
        return HandleMbn(words);
    }
    if (verb == "service") {
        return HandleService(words);
    }
    if (verb == "modem" && n == 2) {
        static const std::pair<const char*, ModemPresence> kinds[] = {
            {"none", ModemPresence::None}, {"4g", ModemPresence::Usb4G},
            {"5g", ModemPresence::Pcie5G}, {"both", ModemPresence::Both}};
        for (const auto& [name, presence] : kinds) {
            if (words[1] == name) {
                SetPresenceLocked(presence);
                return Ok();
            }
        }
        return Error("modem takes none, 4g, 5g or both");
    }
    if (verb == "sim" && n >= 2) {
        uint32_t status = 0;
        if (words[1] == "ready" && n == 2) {
            m_SimPresent = m_SimPowered = true;
            m_StatusOverride = -1;
        } else if (words[1] == "absent" && n == 2) {
            m_SimPresent = false;
            m_StatusOverride = -1;
        } else if (words[1] == "off" && n == 2) {
            m_SimPresent = true;
            m_SimPowered = false;
            m_StatusOverride = -1;
        } else if (words[1] == "status" && n == 3 && ParseNumber(words[2], &status) && status <= 7) {
            m_StatusOverride = static_cast<int32_t>(status);
        } else {
            return Error("sim takes ready, absent, off or status 0..7");
        }
        return Ok();
    }
    if (verb == "slot" && n == 2 && (words[1] == "1" || words[1] == "2")) {
        m_ActiveSlot = words[1] == "1" ? 1 : 2;
        return Ok();
    }
    if (verb == "fault") {
        return HandleFault(words);
    }
    if (verb == "netsh" && n == 2 && words[1] != "slotmapping") {
        static const std::pair<const char*, NetshMode> modes[] = {
            {"table", NetshMode::Table}, {"error", NetshMode::InterfaceError},
            {"empty", NetshMode::Empty}, {"hang", NetshMode::Hang},
            {"error-cp932", NetshMode::ErrorCp932}, {"error-cp936", NetshMode::ErrorCp936},
            {"truncated", NetshMode::Truncated}};
        for (const auto& [name, mode] : modes) {
            if (words[1] == name) {
                m_NetshMode = mode;
                return Ok();
            }
        }
        return Error("netsh takes table, error, error-cp932, error-cp936, empty, hang or truncated");
    }
    if (verb == "netsh" && n == 2) {  // the netsh stand-in asking for its output
        RecordLocked("netsh mbn show slotmapping *");
        return NetshOutputLocked();
    }
    if (verb == "event") {
        return HandleEvent(words);
    }
    if (verb == "adapter") {
        return HandleAdapter(words);
    }
    if (verb == "power" && n == 2) {
        // The power broadcast types a suspend/resume subscriber receives.
        static const std::pair<const char*, const char*> types[] = {
            {"suspend", "4"}, {"resume", "7"}, {"resume-automatic", "18"}, {"source-change", "10"}};
        for (const auto& [name, type] : types) {
            if (words[1] == name) {
                RaiseLocked("power", type, false, false);
                return Ok();
            }
        }
        return Error("power takes suspend, resume, resume-automatic or source-change");
    }
    if (verb == "driver" && n == 3 && (words[1] == "4g" || words[1] == "5g")) {
        (words[1] == "4g" ? m_DriverVersion4G : m_DriverVersion5G) = words[2];
        return Ok();
    }
    if (verb == "note" && n >= 2) {
        std::string text;
        for (std::size_t i = 1; i < n; ++i) {
            text += (i > 1 ? " " : "") + words[i];
        }
        RecordLocked("note " + text);
        return Ok();
    }
    if (verb == "journal" && n == 1) {
        std::string reply = Ok(std::to_string(m_Journal.size()));
        for (const std::string& entry : m_Journal) {
            reply += "\n" + entry;
        }
        return reply;
    }
    if (verb == "journal" && n == 2 && words[1] == "clear") {
        m_Journal.clear();
        return Ok();
    }
    if (verb == "state" && n == 1) {
        return Ok(StateLocked());
    }
    if (verb == "reset" && n == 1) {
        // Session and event numbers keep growing, so a facade never sees an old one again.
        m_Presence = ModemPresence::None;
        m_SimPresent = m_SimPowered = true;
        m_StatusOverride = -1;
        m_ActiveSlot = 1;
        HandleFault({"fault", "none"});
        m_NetshMode = NetshMode::Table;
        m_ExtraAdapters.clear();
        ResetMbnLocked();
        m_ServiceDown = false;  // its life number keeps growing: old objects stay old
        m_Journal.clear();
        m_Events.clear();
        return Ok();
    }
    return Error("unknown request '" + verb + "'");
}

std::string ModemModel::HandleFault(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    uint32_t value = 0;
    if (n == 2 && words[1] == "none") {
        m_AnswerFault = AnswerFault::None;
        m_DelayMs = 0;
        m_Silent = false;
        m_CommandStatus = 0;
        m_ServiceMissing = false;
        m_Enumeration = EnumerationMode::Complete;
        m_Runtime = RuntimeFaults{};
        m_CmChange = CmChangeFault{};
        m_CmSizeShort = false;
        m_CmListFails = false;
        m_AtRaisesUpdate = false;
        ClearMbnFaultsLocked();
        return Ok();
    }
    if (n >= 2 && words[1] == "cm") {
        return HandleCmFault(words);
    }
    if (n >= 2 && (words[1] == "activation" || words[1] == "denied" || words[1] == "session" || words[1] == "operation" ||
                   words[1] == "completion" || words[1] == "results" || words[1] == "response" ||
                   (words[1] == "answer" && n == 4 && words[2] == "bytes"))) {
        return HandleRuntimeFault(words);
    }
    if (n == 3 && words[1] == "delay" && ParseNumber(words[2], &value)) {
        m_DelayMs = value;
        return Ok();
    }
    if (n == 4 && words[1] == "at" && words[2] == "raises-update" && (words[3] == "on" || words[3] == "off")) {
        m_AtRaisesUpdate = words[3] == "on";
        return Ok();
    }
    if (n == 3 && words[1] == "silent" && (words[2] == "on" || words[2] == "off")) {
        m_Silent = words[2] == "on";
        return Ok();
    }
    if (n == 3 && words[1] == "answer" && (words[2] == "ok" || words[2] == "error" || words[2] == "empty")) {
        m_AnswerFault = words[2] == "ok" ? AnswerFault::None : words[2] == "error" ? AnswerFault::Error : AnswerFault::Empty;
        return Ok();
    }
    if (n == 4 && words[1] == "answer" && words[2] == "cme" && ParseNumber(words[3], &value)) {
        m_AnswerFault = AnswerFault::CmeError;
        m_CmeError = value;
        return Ok();
    }
    if (n == 3 && words[1] == "status" && ParseNumber(words[2], &value)) {
        m_CommandStatus = value;
        return Ok();
    }
    if (n == 3 && words[1] == "service" && (words[2] == "missing" || words[2] == "present")) {
        m_ServiceMissing = words[2] == "missing";
        m_Runtime.ServiceFailure = -1;
        return Ok();
    }
    if (n == 4 && words[1] == "service" && words[2] == "fail" && ParseHex(words[3], &value)) {
        m_Runtime.ServiceFailure = value;
        return Ok();
    }
    if (n == 3 && words[1] == "enumeration") {
        if (words[2] == "complete") {
            m_Enumeration = EnumerationMode::Complete;
        } else if (words[2] == "never") {
            m_Enumeration = EnumerationMode::Never;
        } else if (words[2] == "abort") {
            m_Enumeration = EnumerationMode::Abort;
        } else {
            return Error("fault enumeration takes complete, never, abort or after MS");
        }
        return Ok();
    }
    if (n == 4 && words[1] == "enumeration" && words[2] == "after" && ParseNumber(words[3], &value)) {
        m_Enumeration = EnumerationMode::After;
        m_EnumerationAfterMs = value;
        return Ok();
    }
    return Error("unknown fault; see emulator/README.md");
}

std::string ModemModel::StateLocked() const {
    std::string sim = !m_SimPresent ? "absent" : m_SimPowered ? "ready" : "off";
    return std::string("modem=") + PresenceName(m_Presence) + " sim=" + sim +
           " status=" + std::to_string(NetworkDeviceStatusLocked()) + " slot=" + std::to_string(m_ActiveSlot) +
           " delay=" + std::to_string(m_DelayMs) + " silent=" + (m_Silent ? "on" : "off") +
           " command_status=" + std::to_string(m_CommandStatus) +
           " service=" + (m_ServiceMissing ? "missing" : "present");
}

}  // namespace emu
