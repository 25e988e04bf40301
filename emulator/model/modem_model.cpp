#include "emulator/model/modem_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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
    return HandleLocked(SplitWords(request), lock);
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
    return AnswerLocked(commandId, payload);
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
        return Ok();
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
        if (!hasModem || m_ServiceMissing || Upper(words[2]) != kVendorAtService) {
            return Error("no such device service");
        }
        return Ok();
    }
    if (sub == "open" && n == 2) {
        if (!hasModem || m_ServiceMissing) {
            return Error("no device service");
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
        const AtReply reply = AnswerLocked(commandId, payload);
        if (reply.Silent) {
            return Ok("silent");
        }
        std::string data = std::to_string(reply.DelayMs) + " " + std::to_string(reply.Status);
        if (!reply.Response.empty()) {
            data += " " + ToHex(reply.Response);
        }
        return Ok(data);
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

AtReply ModemModel::AnswerLocked(uint32_t commandId, const std::string& payload) {
    RecordLocked("at cmd=" + std::to_string(commandId) + " len=" + std::to_string(payload.size()) + " \"" +
                 Escape(payload) + "\"");
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
    const bool is5G = IsDefault5GLocked();
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
    m_Presence = presence;
    const std::vector<std::string> pathsAfter = InterfacePathsLocked();
    const std::vector<std::string> after = AccountIdsLocked();
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

}  // namespace emu
