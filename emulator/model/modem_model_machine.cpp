// ModemModel's machine: the modems and adapters present, accounts, events, journal, netsh output.
#include "emulator/model/modem_model.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "emulator/model/modem_model_text.h"

namespace emu {

using namespace model_text;

namespace {

constexpr const char* kNetInterfaceClass = "#{cac88484-7515-4c03-82e6-71a87abac361}";
constexpr const char* kModem4GPath = "\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#6&1a2b3c4d&0&0000";
constexpr const char* kModem5GPath = "\\\\?\\PCI#VEN_14C3&DEV_4D75&SUBSYS_4D7514C3&REV_00#4&2f3e1d0c&0&00E8";
// Adapters every laptop has besides the modems.
constexpr const char* kEthernetPath = "\\\\?\\PCI#VEN_8086&DEV_15F3&SUBSYS_00008086&REV_03#3&11583659&0&FE";
constexpr const char* kWifiPath = "\\\\?\\PCI#VEN_8086&DEV_2723&SUBSYS_00848086&REV_1A#3&11583659&0&A3";

std::string InterfacePath(const std::string& device) { return device + kNetInterfaceClass; }

}  // namespace

int32_t ModemModel::NetworkDeviceStatus() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return NetworkDeviceStatusLocked();
}

std::vector<std::string> ModemModel::Journal() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Journal;
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

std::string ModemModel::NetshOutputLocked() const {
    if (m_NetshMode == NetshMode::Empty) {
        return "ok empty\n";
    }
    if (m_NetshMode == NetshMode::InterfaceError) {
        return "ok error\nFailed to access the interface: error\r\n";
    }
    // A Japanese or Chinese system's netsh fails in its own language, in the console's code
    // page. Our own sample sentences, both meaning "Error: the element sought is not there."
    if (m_NetshMode == NetshMode::ErrorCp932) {
        return "ok error\n\x83\x47\x83\x89\x81\x5B\x3A\x20\x96\xDA\x93\x49\x82\xCC\x97\x76\x91\x66\x82\xCD\x82\xA0"
               "\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42\r\n";
    }
    if (m_NetshMode == NetshMode::ErrorCp936) {
        return "ok error\n\xB4\xED\xCE\xF3\x3A\x20\xC3\xBB\xD3\xD0\xCB\xF9\xD0\xE8\xB5\xC4\xD4\xAA\xCB\xD8\xA1\xA3\r\n";
    }
    std::string table = "\r\nSlot mapping for interface \"Cellular\"\r\n";
    table += std::string(37, '-') + "\r\n";
    if (m_NetshMode == NetshMode::Truncated) {  // as when netsh is ended while it writes
        return "ok truncated\n" + table;
    }
    if (m_Presence != ModemPresence::None) {
        table += std::to_string(m_ActiveSlot - 1) + "          : Executor 0\r\n";
    }
    table += "\r\n";
    return std::string(m_NetshMode == NetshMode::Hang ? "ok hang\n" : "ok table\n") + table;
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

std::string ModemModel::HandleService(const std::vector<std::string>& words) {
    const std::size_t n = words.size();
    uint32_t downMs = 0;
    if (n == 3 && words[1] == "restart" && ParseNumber(words[2], &downMs)) {
        // A restart during the down time of another one starts it again.
        ++m_ServiceLife;
        m_ServiceDown = true;
        m_ServiceRefusalJournaled = false;
        m_ServiceUpAt = Clock::now() + std::chrono::milliseconds(downMs);
        RecordLocked("service restart: down for " + std::to_string(downMs) + " ms, the account watcher aborts");
        RaiseLocked("service-stopped", "-", false, false);
        return Ok();
    }
    if (n == 2 && words[1] == "life") {
        return Ok(std::to_string(m_ServiceLife) + (m_ServiceDown ? " down" : " up"));
    }
    return Error("service takes restart MS or life");
}

void ModemModel::ServiceTickLocked() {
    if (!m_ServiceDown || Clock::now() < m_ServiceUpAt) {
        return;
    }
    m_ServiceDown = false;
    const std::vector<std::string> interfaces = MbnInterfacesLocked();
    RecordLocked("service up: " + std::to_string(interfaces.size()) + " interfaces arrive");
    RaiseMbnLocked("mbn-arrival");
}

bool ModemModel::RefusedByServiceLocked(const std::string& call) {
    if (!m_ServiceDown) {
        return false;
    }
    if (!m_ServiceRefusalJournaled) {
        m_ServiceRefusalJournaled = true;
        RecordLocked("service down: " + call + " answered 0x800706BA");
    }
    return true;
}

}  // namespace emu
