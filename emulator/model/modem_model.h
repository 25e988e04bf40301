// The emulated laptop modem: one model of what the machine presents (which modem, its SIM,
// the active slot), an AT responder that answers like the modem, scripted faults, account
// events and a journal of everything done to it. Every facade (Windows Runtime, netsh,
// later Configuration Manager and Mobile Broadband COM) asks this one model through
// Handle(), one text request per call; tests and people script it in the same language.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

enum class ModemPresence { None, Usb4G, Pcie5G, Both };

// Windows.Networking.NetworkOperators.NetworkDeviceStatus values the model reports.
constexpr int32_t STATUS_DEVICE_READY = 1;
constexpr int32_t STATUS_SIM_NOT_INSERTED = 2;

enum class AnswerFault { None, Error, CmeError, Empty };
enum class NetshMode { Table, InterfaceError, Empty, Hang };
enum class EnumerationMode { Complete, Never, Abort };

// Something the machine announces: an account event ("added", "updated", "removed", with
// the account id) or a network-adapter interface event ("arrival", "removal", with the
// interface path).
struct MachineEvent {
    uint64_t Sequence;
    std::string Kind;
    std::string Subject;
    bool DeviceInformationChanged;
    bool NetworkChanged;
};

// What the modem does with one set command.
struct AtReply {
    bool Silent = false;  // never completes
    uint32_t DelayMs = 0;
    uint32_t Status = 0;
    std::string Response;
};

class ModemModel {
public:
    ModemModel();

    // One request of the text protocol (see README in emulator/), one reply.
    // Replies start with "ok" or "error:"; data replies are described per request.
    std::string Handle(const std::string& request);

    // Applies a scenario: one request per line, '#' starts a comment. Stops at the first
    // error and returns "error: line N: ..."; "ok" otherwise.
    std::string ApplyScenario(const std::string& text);

    // The AT responder, also used directly by tests.
    AtReply HandleSetCommand(uint32_t commandId, const std::string& payload);
    int32_t NetworkDeviceStatus() const;
    std::vector<std::string> Journal() const;

private:
    using Clock = std::chrono::steady_clock;

    std::string HandleLocked(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock);
    std::string HandleRuntime(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock);
    std::string HandleFault(const std::vector<std::string>& words);
    std::string HandleEvent(const std::vector<std::string>& words);
    AtReply AnswerLocked(uint32_t commandId, const std::string& payload);
    std::string NetshOutputLocked() const;
    std::string StateLocked() const;
    std::vector<std::string> AccountIdsLocked() const;
    void SetPresenceLocked(ModemPresence presence);
    std::vector<std::string> InterfacePathsLocked() const;
    std::string HandleAdapter(const std::vector<std::string>& words);
    void RaiseLocked(const std::string& kind, const std::string& accountId, bool device, bool network);
    void RecordLocked(const std::string& entry);
    int32_t NetworkDeviceStatusLocked() const;
    bool IsDefault5GLocked() const;

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;
    Clock::time_point m_Start;

    ModemPresence m_Presence = ModemPresence::None;
    bool m_SimPresent = true;
    bool m_SimPowered = true;
    int32_t m_StatusOverride = -1;  // a raw NetworkDeviceStatus when scripted
    uint32_t m_ActiveSlot = 1;

    AnswerFault m_AnswerFault = AnswerFault::None;
    uint32_t m_CmeError = 0;
    uint32_t m_DelayMs = 0;
    bool m_Silent = false;
    uint32_t m_CommandStatus = 0;
    bool m_ServiceMissing = false;
    NetshMode m_NetshMode = NetshMode::Table;
    EnumerationMode m_Enumeration = EnumerationMode::Complete;

    std::vector<std::string> m_ExtraAdapters;
    std::string m_DriverVersion4G = "1.0.26.3";
    std::string m_DriverVersion5G = "2.4.1.0";

    uint64_t m_NextSession = 1;
    uint64_t m_NextEvent = 1;
    std::deque<MachineEvent> m_Events;
    std::vector<std::string> m_Journal;
};

// Payload bytes as hex ("41542B...") and back; Parse returns false on bad input.
std::string ToHex(const std::string& bytes);
bool FromHex(const std::string& hex, std::string* bytes);
// Bytes as a readable C-like literal: AT+X\r\n, other bytes as \xHH.
std::string Escape(const std::string& bytes);

}  // namespace emu
