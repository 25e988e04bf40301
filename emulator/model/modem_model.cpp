#include "emulator/model/modem_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <sstream>

namespace emu {

namespace {

constexpr uint32_t kAtTunnelCommandId = 1;
constexpr const char* kVendorAtService = "{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";
constexpr uint32_t kMaxEventWaitMs = 30000;

constexpr const char* kNetInterfaceClass = "#{cac88484-7515-4c03-82e6-71a87abac361}";
constexpr const char* kModem4GPath = "\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#6&1a2b3c4d&0&0000";
constexpr const char* kModem5GPath = "\\\\?\\PCI#VEN_14C3&DEV_4D75&SUBSYS_4D7514C3&REV_00#4&2f3e1d0c&0&00E8";
// Adapters every laptop has besides the modems.
constexpr const char* kEthernetPath = "\\\\?\\PCI#VEN_8086&DEV_15F3&SUBSYS_00008086&REV_03#3&11583659&0&FE";
constexpr const char* kWifiPath = "\\\\?\\PCI#VEN_8086&DEV_2723&SUBSYS_00848086&REV_1A#3&11583659&0&A3";

std::string InterfacePath(const std::string& device) { return device + kNetInterfaceClass; }

// "\\?\USB#VID..#6&..#{class}" -> "USB\VID..\6&..", as Windows forms instance ids.
std::string InstanceIdOf(const std::string& path) {
    std::string id = path.substr(4, path.rfind('#') - 4);
    std::replace(id.begin(), id.end(), '#', '\\');
    return id;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
        return false;
    }
    *value = static_cast<uint32_t>(std::stoul(text));
    return true;
}

// An HRESULT as scripted: 1 to 8 hex digits, "0x" optional.
bool ParseHex(const std::string& text, uint32_t* value) {
    const std::string digits = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8 || !std::all_of(digits.begin(), digits.end(), ::isxdigit)) {
        return false;
    }
    *value = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    return true;
}

std::string HexResult(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Scripted response bytes: byte i is i & 0xFF, so a lost, doubled or cut byte shows.
std::string PatternBytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>(i & 0xFF);
    }
    return bytes;
}

// HRESULTs the Mobile Broadband requests use.
constexpr uint32_t kPending = 0x8000000A;       // E_PENDING: the request still completes
constexpr uint32_t kInvalidState = 0x8007139F;  // HRESULT_FROM_WIN32(ERROR_INVALID_STATE)

bool IsFailure(uint32_t result) { return (result & 0x80000000u) != 0; }

// The event interfaces whose connection points can be scripted, by name without "IMbn".
constexpr const char* kMbnEventInterfaces[] = {
    "InterfaceManagerEvents", "InterfaceEvents", "RegistrationEvents", "SignalEvents",
    "RadioEvents", "ConnectionManagerEvents", "ConnectionEvents", "DeviceServicesEvents"};

bool IsMbnEventInterface(const std::string& name) {
    return std::find(std::begin(kMbnEventInterfaces), std::end(kMbnEventInterfaces), name) !=
           std::end(kMbnEventInterfaces);
}

constexpr const char* kMbnRequests[] = {"open", "close", "set", "query"};

// The index of a request kind in kMbnRequests, or -1.
int MbnRequestIndex(const std::string& name) {
    for (int i = 0; i < 4; ++i) {
        if (name == kMbnRequests[i]) {
            return i;
        }
    }
    return -1;
}

const char* PresenceName(ModemPresence presence) {
    switch (presence) {
    case ModemPresence::Usb4G: return "4g";
    case ModemPresence::Pcie5G: return "5g";
    case ModemPresence::Both: return "both";
    case ModemPresence::None: break;
    }
    return "none";
}

std::string Ok(const std::string& data = "") { return data.empty() ? "ok" : "ok " + data; }
std::string Error(const std::string& why) { return "error: " + why; }

// Modems frame every answer line with CR LF on both sides.
std::string Framed(const std::string& line) { return "\r\n" + line + "\r\n"; }

}  // namespace

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0xF];
    }
    return hex;
}

bool FromHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            return false;
        }
        bytes->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string Escape(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\' || c == '"') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

ModemModel::ModemModel() : m_Start(Clock::now()) {}

std::string ModemModel::Handle(const std::string& request) {
    std::unique_lock<std::mutex> lock(m_Mutex);
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

AtReply ModemModel::HandleSetCommand(uint32_t commandId, const std::string& payload) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const AtReply reply = AnswerLocked(commandId, payload, IsDefault5GLocked());
    SyncMbnReadyLocked();
    return reply;
}

int32_t ModemModel::NetworkDeviceStatus() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return NetworkDeviceStatusLocked();
}

std::vector<std::string> ModemModel::Journal() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Journal;
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
            {"empty", NetshMode::Empty}, {"hang", NetshMode::Hang}};
        for (const auto& [name, mode] : modes) {
            if (words[1] == name) {
                m_NetshMode = mode;
                return Ok();
            }
        }
        return Error("netsh takes table, error, empty or hang");
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
        m_CmArrival = CmArrivalFault{};
        ClearMbnFaultsLocked();
        return Ok();
    }
    if (n == 6 && words[1] == "cm" && words[2] == "arrival-after" && (words[3] == "list" || words[3] == "register") &&
        ParseNumber(words[4], &value) && value > 0) {
        static const std::pair<const char*, ModemPresence> presences[] = {
            {"4g", ModemPresence::Usb4G}, {"5g", ModemPresence::Pcie5G}, {"both", ModemPresence::Both}};
        for (const auto& [name, presence] : presences) {
            if (words[5] == name) {
                m_CmArrival = {words[3] == "list" ? CmArrivalFault::After::List : CmArrivalFault::After::Registration,
                               value, presence};
                return Ok();
            }
        }
    }
    if (n >= 2 && (words[1] == "activation" || words[1] == "session" || words[1] == "operation" ||
                   words[1] == "completion" || words[1] == "results" || words[1] == "response" ||
                   (words[1] == "answer" && n == 4 && words[2] == "bytes"))) {
        return HandleRuntimeFault(words);
    }
    if (n == 3 && words[1] == "delay" && ParseNumber(words[2], &value)) {
        m_DelayMs = value;
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
            return Error("fault enumeration takes complete, never or abort");
        }
        return Ok();
    }
    return Error("unknown fault; see emulator/README.md");
}

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

std::string ModemModel::HandleEvent(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    if (n == 3 && (words[1] == "added" || words[1] == "removed")) {
        RaiseLocked(words[1], words[2], false, false);
        return Ok();
    }
    if (n >= 3 && words[1] == "updated") {
        bool device = false;
        bool network = false;
        for (std::size_t i = 3; i < n; ++i) {
            if (words[i] == "device") {
                device = true;
            } else if (words[i] == "network") {
                network = true;
            } else {
                return Error("event updated takes device and/or network");
            }
        }
        RaiseLocked("updated", words[2], device, network);
        return Ok();
    }
    return Error("event takes added ID, removed ID or updated ID [device] [network]");
}

std::string ModemModel::HandleRuntime(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock) {
    const std::size_t n = words.size();
    const std::string sub = n > 1 ? words[1] : "";
    const bool hasModem = m_Presence != ModemPresence::None;
    if (sub == "default" && n == 2) {
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
    if ((sub == "listed" || sub == "registered") && n == 2) {
        const auto when = sub == "listed" ? CmArrivalFault::After::List : CmArrivalFault::After::Registration;
        if (m_CmArrival.When == when && --m_CmArrival.Remaining == 0) {
            RecordLocked(std::string("modem arrives after a ") + (sub == "listed" ? "list call" : "registration"));
            SetPresenceLocked(m_CmArrival.Presence);
            m_CmArrival = CmArrivalFault{};
        }
        return Ok();
    }
    if (sub == "activate" && n == 3) {
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
                  (reply.Response.empty() ? "-" : ToHex(reply.Response)) + RuntimeFlagsLocked());
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
        const char* mode = m_Enumeration == EnumerationMode::Complete ? "complete"
                           : m_Enumeration == EnumerationMode::Never  ? "never"
                                                                      : "abort";
        std::string data = std::string(mode) + " " + std::to_string(m_NextEvent - 1);
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
        m_Changed.wait_for(lock, std::chrono::milliseconds(std::min(timeoutMs, kMaxEventWaitMs)), pending);
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

AtReply ModemModel::AnswerLocked(uint32_t commandId, const std::string& payload, bool is5G,
                                 const std::string& journalPrefix) {
    RecordLocked(journalPrefix + "at cmd=" + std::to_string(commandId) + " len=" + std::to_string(payload.size()) +
                 " \"" + Escape(payload) + "\"");
    AtReply reply;
    reply.DelayMs = m_DelayMs;
    reply.Silent = m_Silent;
    reply.Status = m_CommandStatus;
    if (reply.Silent || reply.Status != 0) {
        return reply;
    }
    if (m_AnswerFault == AnswerFault::Error) {
        reply.Response = Framed("ERROR");
        return reply;
    }
    if (m_AnswerFault == AnswerFault::Empty) {
        return reply;  // status 0 and no data
    }
    if (m_AnswerFault == AnswerFault::CmeError) {
        reply.Response = Framed("+CME ERROR: " + std::to_string(m_CmeError));
        return reply;
    }

    std::string command = Upper(payload);
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
        command.pop_back();
    }
    const bool simPowerOff = (!is5G && command == "AT+XSIMPOWER=0,1") || (is5G && command == "AT+ESIMPOWER=0,1");
    const bool simPowerOn = (!is5G && command == "AT+XSIMPOWER=1,1") || (is5G && command == "AT+ESIMPOWER=1,1");
    if (commandId != kAtTunnelCommandId) {
        reply.Response = Framed("ERROR");
    } else if (simPowerOff || simPowerOn) {
        const bool wasPowered = m_SimPowered;
        m_SimPowered = simPowerOn;
        if (wasPowered != m_SimPowered && m_SimPresent) {
            // What Windows reports when the SIM comes or goes: the account's device
            // information changed.
            for (const std::string& id : AccountIdsLocked()) {
                RaiseLocked("updated", id, true, false);
            }
        }
        reply.Response = Framed("OK");
    } else if (is5G && command == "AT+ESIMMAP?") {
        reply.Response = Framed("+ESIMMAP: " + std::to_string(m_ActiveSlot)) + Framed("OK");
    } else if (!is5G && command == "AT+CSUS?") {
        reply.Response = Framed("+CSUS: " + std::to_string(m_ActiveSlot - 1)) + Framed("OK");
    } else if (command == "AT") {
        reply.Response = Framed("OK");
    } else {
        reply.Response = Framed("ERROR");
    }
    return reply;
}

std::string ModemModel::NetshOutputLocked() const {
    if (m_NetshMode == NetshMode::Empty) {
        return "ok empty\n";
    }
    if (m_NetshMode == NetshMode::InterfaceError) {
        return "ok error\nFailed to access the interface: error\r\n";
    }
    std::string table = "\r\nSlot mapping for interface \"Cellular\"\r\n";
    table += std::string(37, '-') + "\r\n";
    if (m_Presence != ModemPresence::None) {
        table += std::to_string(m_ActiveSlot - 1) + "          : Executor 0\r\n";
    }
    table += "\r\n";
    return std::string(m_NetshMode == NetshMode::Hang ? "ok hang\n" : "ok table\n") + table;
}

std::string ModemModel::StateLocked() const {
    std::string sim = !m_SimPresent ? "absent" : m_SimPowered ? "ready" : "off";
    return std::string("modem=") + PresenceName(m_Presence) + " sim=" + sim +
           " status=" + std::to_string(NetworkDeviceStatusLocked()) + " slot=" + std::to_string(m_ActiveSlot) +
           " delay=" + std::to_string(m_DelayMs) + " silent=" + (m_Silent ? "on" : "off") +
           " command_status=" + std::to_string(m_CommandStatus) +
           " service=" + (m_ServiceMissing ? "missing" : "present");
}

std::vector<std::string> ModemModel::AccountIdsLocked() const {
    std::vector<std::string> ids;
    if (m_Presence == ModemPresence::Usb4G || m_Presence == ModemPresence::Both) {
        ids.push_back("account-4g");
    }
    if (m_Presence == ModemPresence::Pcie5G || m_Presence == ModemPresence::Both) {
        ids.push_back("account-5g");
    }
    return ids;
}

void ModemModel::SetPresenceLocked(ModemPresence presence) {
    const std::vector<std::string> pathsBefore = InterfacePathsLocked();
    const std::vector<std::string> before = AccountIdsLocked();
    const std::vector<std::string> mbnBefore = MbnInterfacesLocked();
    m_Presence = presence;
    const std::vector<std::string> pathsAfter = InterfacePathsLocked();
    const std::vector<std::string> after = AccountIdsLocked();
    const std::vector<std::string> mbnAfter = MbnInterfacesLocked();
    // The adapter's interface comes and goes first; the account follows it.
    for (const std::string& path : pathsBefore) {
        if (std::find(pathsAfter.begin(), pathsAfter.end(), path) == pathsAfter.end()) {
            RaiseLocked("removal", path, false, false);
        }
    }
    for (const std::string& path : pathsAfter) {
        if (std::find(pathsBefore.begin(), pathsBefore.end(), path) == pathsBefore.end()) {
            RaiseLocked("arrival", path, false, false);
        }
    }
    for (const std::string& id : before) {
        if (std::find(after.begin(), after.end(), id) == after.end()) {
            RaiseLocked("removed", id, false, false);
        }
    }
    for (const std::string& id : after) {
        if (std::find(before.begin(), before.end(), id) == before.end()) {
            RaiseLocked("added", id, false, false);
        }
    }
    for (const std::string& id : mbnBefore) {
        if (std::find(mbnAfter.begin(), mbnAfter.end(), id) == mbnAfter.end()) {
            RaiseLocked("mbn-removal", id, false, false);
            // A modem that goes takes its command sessions with it.
            for (auto it = m_MbnOpenSessions.begin(); it != m_MbnOpenSessions.end();) {
                it = it->rfind(id + " ", 0) == 0 ? m_MbnOpenSessions.erase(it) : std::next(it);
            }
        }
    }
    for (const std::string& id : mbnAfter) {
        if (std::find(mbnBefore.begin(), mbnBefore.end(), id) == mbnBefore.end()) {
            RaiseLocked("mbn-arrival", id, false, false);
        }
    }
}

std::vector<std::string> ModemModel::InterfacePathsLocked() const {
    std::vector<std::string> paths{InterfacePath(kEthernetPath)};
    if (m_Presence == ModemPresence::Usb4G || m_Presence == ModemPresence::Both) {
        paths.push_back(InterfacePath(kModem4GPath));
    }
    paths.push_back(InterfacePath(kWifiPath));
    if (m_Presence == ModemPresence::Pcie5G || m_Presence == ModemPresence::Both) {
        paths.push_back(InterfacePath(kModem5GPath));
    }
    for (const std::string& name : m_ExtraAdapters) {
        paths.push_back(InterfacePath("\\\\?\\ROOT#NET#" + name));
    }
    return paths;
}

std::string ModemModel::HandleAdapter(const std::vector<std::string>& words) {
    if (words.size() != 3 || (words[1] != "add" && words[1] != "remove")) {
        return Error("adapter takes add NAME or remove NAME");
    }
    const std::string path = InterfacePath("\\\\?\\ROOT#NET#" + words[2]);
    const auto it = std::find(m_ExtraAdapters.begin(), m_ExtraAdapters.end(), words[2]);
    if (words[1] == "add" && it == m_ExtraAdapters.end()) {
        m_ExtraAdapters.push_back(words[2]);
        RaiseLocked("arrival", path, false, false);
    } else if (words[1] == "remove" && it != m_ExtraAdapters.end()) {
        m_ExtraAdapters.erase(it);
        RaiseLocked("removal", path, false, false);
    }
    return Ok();
}

void ModemModel::RaiseLocked(const std::string& kind, const std::string& subject, bool device, bool network) {
    m_Events.push_back({m_NextEvent++, kind, subject, device, network});
    // Only recent events matter to a facade that polls; keep the queue small.
    while (m_Events.size() > 256) {
        m_Events.pop_front();
    }
    m_Changed.notify_all();
}

void ModemModel::RecordLocked(const std::string& entry) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_Start).count();
    m_Journal.push_back("+" + std::to_string(elapsed) + " " + entry);
}

int32_t ModemModel::NetworkDeviceStatusLocked() const {
    if (m_StatusOverride >= 0) {
        return m_StatusOverride;
    }
    return m_SimPresent && m_SimPowered ? STATUS_DEVICE_READY : STATUS_SIM_NOT_INSERTED;
}

bool ModemModel::IsDefault5GLocked() const {
    return m_Presence == ModemPresence::Pcie5G || m_Presence == ModemPresence::Both;
}

// ---------------------------------------------------------------------------------------
// Mobile Broadband COM.

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
        if (kind == "early" && n == 4) {
            fault.Timing = MbnTiming::Early;
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
        return Error("mbn fault " + what + " takes delay MS|never|normal, early, status HEX, result HEX, "
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
    if (n == 5 && (kind == "set-complete" || kind == "query-complete") && ParseNumber(words[3], &value) &&
        ParseHex(words[4], &status)) {
        RaiseLocked("mbn-" + kind, id + ";" + std::to_string(value) + ";" + HexResult(status), false, false);
        return Ok();
    }
    if (n == 4 && kind == "supported" && ParseNumber(words[3], &value) && value <= 65536) {
        RaiseLocked("mbn-supported", id + ";" + std::to_string(value), false, false);
        return Ok();
    }
    return Error("mbn notify takes ready, register, signal, radio, arrival, removal, "
                 "set-complete REQID STATUS, query-complete REQID STATUS or supported N");
}

std::string ModemModel::HandleMbnRuntime(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    const std::string sub = n > 2 ? words[2] : "";
    const std::string id = n > 3 ? Upper(words[3]) : "";
    if (sub == "interfaces" && n == 3) {
        std::string reply = Ok();
        for (const std::string& present : MbnInterfacesLocked()) {
            reply += " " + present;
        }
        return reply;
    }
    if ((sub == "find" || sub == "advise" || sub == "unadvise") && n == 4) {
        if (!IsMbnEventInterface(words[3])) {
            return Error("no such event interface");
        }
        const auto found = m_MbnCpFaults.find(words[3]);
        const MbnConnectionPointFault fault = found == m_MbnCpFaults.end() ? MbnConnectionPointFault{} : found->second;
        if (sub == "find") {
            return fault.FindMode == MbnConnectionPointFault::Find::Null   ? Ok("null")
                   : fault.FindMode == MbnConnectionPointFault::Find::Fail ? Ok("fail " + HexResult(fault.FindResult))
                                                                           : Ok();
        }
        if (sub == "advise" && fault.AdviseFails) {
            RecordLocked("mbn advise " + words[3] + " failed " + HexResult(fault.AdviseResult));
            return Ok("fail " + HexResult(fault.AdviseResult));
        }
        RecordLocked("mbn " + sub + " " + words[3]);
        return sub == "unadvise" && m_MbnUnadviseWaits ? Ok("wait") : Ok();
    }
    if (sub == "nested" && n == 3) {
        const std::vector<std::string> present = MbnInterfacesLocked();
        return m_MbnNested && !present.empty() ? Ok(present.front()) : Ok();
    }
    if (sub == "open" || sub == "close" || sub == "set" || sub == "query") {
        return MbnRequestLocked(words);
    }
    if (sub == "complete" && n == 8) {
        // mbn rt complete REQ INTERFACE SERVICE REQUEST_ID STATUS
        uint32_t requestId = 0;
        uint32_t status = 0;
        if (MbnRequestIndex(words[3]) < 0 || !ParseNumber(words[6], &requestId) || !ParseHex(words[7], &status)) {
            return Error("mbn rt complete takes REQ INTERFACE SERVICE REQUEST_ID STATUS");
        }
        RecordLocked("mbn complete " + words[3] + " id=" + words[6] + " status=" + HexResult(status));
        const std::string iface = Upper(words[4]);
        const std::string session = iface + " " + Upper(words[5]);
        if (!IsFailure(status) && MbnInterfacePresentLocked(iface)) {
            if (words[3] == "open") {
                m_MbnOpenSessions.insert(session);
            } else if (words[3] == "close") {
                m_MbnOpenSessions.erase(session);
            }
        }
        return Ok();
    }
    if (n < 4) {
        return Error("unknown mbn runtime request");
    }
    if (!MbnInterfacePresentLocked(id)) {
        return Error("no such interface");
    }
    if (sub == "interface" && n == 4) {
        return Ok(std::to_string(MbnReadyStateLocked()) + " " + std::to_string(m_MbnSoftwareRadio) + " " +
                  std::to_string(m_MbnHardwareRadio) + " " + std::to_string(m_MbnRegisterState) + " " +
                  std::to_string(m_MbnSignal) + " " + std::to_string(m_MbnActivation));
    }
    if (sub == "connection" && n == 4) {
        switch (m_MbnConnectionFault) {
        case MbnConnectionFault::Fail: return Ok("fail " + HexResult(m_MbnConnectionResult));
        case MbnConnectionFault::PendingNull: return Ok("pending-null");
        case MbnConnectionFault::None: break;
        }
        return Ok();
    }
    if (sub == "context" && n == 4) {
        return m_MbnContextFault >= 0 ? Ok("fail " + HexResult(static_cast<uint32_t>(m_MbnContextFault))) : Ok();
    }
    const std::string service = n > 4 ? Upper(words[4]) : "";
    if ((sub == "service" || sub == "session") && n == 5) {
        if (m_ServiceMissing || service != kVendorAtService) {
            return Error("no such device service");
        }
        if (sub == "service") {
            return Ok();
        }
        if (m_MbnSessionStateFault >= 0) {
            return Ok("fail " + HexResult(static_cast<uint32_t>(m_MbnSessionStateFault)));
        }
        return Ok(m_MbnOpenSessions.count(id + " " + service) != 0 ? "1" : "0");
    }
    return Error("unknown mbn runtime request");
}

// mbn rt open|close INTERFACE SERVICE REQUEST_ID
// mbn rt set|query INTERFACE SERVICE REQUEST_ID COMMAND [HEX]
// Replies with what the facade does: "ok RESULT TIMING STATUS REQUEST_ID [DATA]", TIMING
// being a delay in milliseconds, "never" or "early", and REQUEST_ID the one the completion
// carries.
std::string ModemModel::MbnRequestLocked(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    const std::string& kind = words[2];
    const bool command = kind == "set" || kind == "query";
    uint32_t requestId = 0;
    uint32_t commandId = 0;
    std::string payload;
    const bool wellFormed = command ? (n == 7 || n == 8) && ParseNumber(words[5], &requestId) &&
                                          ParseNumber(words[6], &commandId) && FromHex(n == 8 ? words[7] : "", &payload)
                                    : n == 6 && ParseNumber(words[5], &requestId);
    if (!wellFormed) {
        return Error("mbn rt " + kind + " takes INTERFACE SERVICE REQUEST_ID" + (command ? " COMMAND [HEX]" : ""));
    }
    const std::string id = Upper(words[3]);
    const std::string service = Upper(words[4]);
    if (!MbnInterfacePresentLocked(id)) {
        return Error("no such interface");
    }
    if (m_ServiceMissing || service != kVendorAtService) {
        return Error("no such device service");
    }
    const MbnRequestFault& fault = m_MbnRequestFaults[static_cast<std::size_t>(MbnRequestIndex(kind))];
    uint32_t result = fault.Result;
    if (command && m_MbnOpenSessions.count(id + " " + service) == 0) {
        result = kInvalidState;
    }
    // A failed call never reaches the modem; E_PENDING does and completes; any other success
    // code reaches it but never completes.
    const bool reaches = !IsFailure(result) || result == kPending;
    const bool completes = result == 0 || result == kPending;
    const std::string entry = "mbn " + kind + " id=" + std::to_string(requestId) + " ";
    const std::string outcome = result == 0 ? "" : " result=" + HexResult(result);

    AtReply at;
    if (!command) {
        RecordLocked(entry + "service=" + service + outcome);
    } else if (reaches) {
        at = AnswerLocked(commandId, payload, id == MBN_INTERFACE_5G, entry);
        if (!outcome.empty()) {
            RecordLocked(entry + outcome.substr(1));
        }
    } else {
        RecordLocked(entry + "cmd=" + std::to_string(commandId) + " len=" + std::to_string(payload.size()) + outcome);
    }

    std::string timing;
    if (!completes || fault.Timing == MbnTiming::Never || (fault.Timing == MbnTiming::Normal && at.Silent)) {
        timing = "never";
    } else if (fault.Timing == MbnTiming::Early) {
        timing = "early";
    } else {
        timing = std::to_string(fault.Timing == MbnTiming::Delayed ? fault.DelayMs : at.DelayMs);
    }
    const uint32_t status = fault.Status != 0 ? fault.Status : at.Status;
    std::string data = at.Response;
    if (command && fault.ResponseSize >= 0) {
        data = PatternBytes(static_cast<std::size_t>(fault.ResponseSize));
    }
    std::string reply = HexResult(result) + " " + timing + " " + HexResult(status) + " " +
                        std::to_string(requestId + (fault.ForeignRequestId ? 1000 : 0));
    if (!data.empty()) {
        reply += " " + ToHex(data);
    }
    return Ok(reply);
}

}  // namespace emu
