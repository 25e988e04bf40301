// The emulated laptop modem: one model of what the machine presents (which modem, its SIM,
// the active slot), an AT responder that answers like the modem, scripted faults, account
// events and a journal of everything done to it. Every facade (Windows Runtime, netsh,
// Configuration Manager, power notifications and Mobile Broadband COM) asks this one model
// through Handle(), one text request per call; tests and people script it in the same
// language. The class is implemented in modem_model*.cpp, a file per part (see the comments
// on the private members below).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace emu {

enum class ModemPresence { None, Usb4G, Pcie5G, Both };

// Windows.Networking.NetworkOperators.NetworkDeviceStatus values the model reports.
constexpr int32_t STATUS_DEVICE_READY = 1;
constexpr int32_t STATUS_SIM_NOT_INSERTED = 2;

enum class AnswerFault { None, Error, CmeError, Empty };
enum class NetshMode { Table, InterfaceError, Empty, Hang, ErrorCp932, ErrorCp936, Truncated };
enum class EnumerationMode { Complete, Never, Abort, After };

// Mobile Broadband interface IDs of the two modems.
constexpr const char* MBN_INTERFACE_4G = "{5A3E0AC9-0000-4000-8000-00000000004A}";
constexpr const char* MBN_INTERFACE_5G = "{14C34D75-0000-4000-8000-00000000005A}";

// MBN_READY_STATE values the model derives.
constexpr int32_t MBN_READY_INITIALIZED = 1;
constexpr int32_t MBN_READY_SIM_NOT_INSERTED = 2;

// When the Mobile Broadband facade delivers a request's completion.
// EarlyForeign: early, then a copy with another request's ID, both before the call returns.
// EarlyStale: early, then, still before the call returns, completions of this kind carrying
// the IDs of the requests issued just before it (late ones of requests that timed out).
// LateForeign: at once, then right after it a failed completion of another kind.
enum class MbnTiming { Normal, Delayed, Never, Early, EarlyForeign, EarlyStale, LateForeign };

// What the Mobile Broadband facade is scripted to do with one kind of request (open,
// close, set or query).
struct MbnRequestFault {
    MbnTiming Timing = MbnTiming::Normal;
    uint32_t DelayMs = 0;
    uint32_t StaleCount = 0;     // EarlyStale: how many stale completions follow
    uint32_t Status = 0;         // the completion's HRESULT
    uint32_t Result = 0;         // what the request call returns
    bool ForeignRequestId = false;
    int64_t ResponseSize = -1;   // set/query: this many pattern bytes instead of the answer
};

// FindConnectionPoint and Advise for one event interface.
struct MbnConnectionPointFault {
    enum class Find { Normal, Fail, Null } FindMode = Find::Normal;
    uint32_t FindResult = 0;
    bool AdviseFails = false;
    uint32_t AdviseResult = 0;
};

// Something the machine announces: an account event ("added", "updated", "removed", with
// the account id), a network-adapter interface event ("arrival", "removal", with the
// interface path), a power event ("power", with the broadcast type) or a Mobile Broadband
// event ("mbn-arrival", "mbn-removal", "mbn-ready", ... with the interface ID).
struct MachineEvent {
    uint64_t Sequence;
    std::string Kind;
    std::string Subject;
    bool DeviceInformationChanged;
    bool NetworkChanged;
};

// The less convenient behaviour that the Windows Runtime classes' contracts allow, played
// on request by the Runtime facade.
struct RuntimeFaults {
    uint32_t ActivationFailures = 0;      // the next N activations fail...
    std::string ActivationClass;          // ...of this class ("modem", "watcher", "buffer"), or any
    uint32_t ActivationResult = 0x80080005;  // CO_E_SERVER_EXEC_FAILURE
    bool NullSession = false;             // OpenCommandSession: S_OK and no session
    bool NullOperation = false;           // SendSetCommandAsync: S_OK and no operation
    enum class Completion { Normal, Inline, Error, Canceled } Ending = Completion::Normal;
    uint32_t ErrorCode = 0x80004005;      // the operation's error code when it ends in Error
    int64_t ResultsFailure = -1;          // GetResults fails with this
    bool NullResponse = false;            // ResponseData: S_OK and no buffer
    int64_t AnswerBytes = -1;             // the modem answers this many bytes instead
    int64_t ServiceFailure = -1;          // GetDeviceService fails with this
    // Calls refused with E_ACCESSDENIED, as the modem's service refuses a process it will not
    // serve: "default" (GetDefault), "session" (OpenCommandSession), "set"
    // (SendSetCommandAsync), "watcher" (the account watcher's activation).
    std::set<std::string> Denied;
};

// Modems that arrive or go right after the process under test makes its Nth list call or
// registration through the Configuration Manager facade.
struct CmChangeFault {
    enum class After { None, List, Registration } When = After::None;
    uint32_t Remaining = 0;
    ModemPresence Presence = ModemPresence::None;
    std::string Name;  // as the request named the presence
};

// What the modem does with one set command.
struct AtReply {
    bool Silent = false;  // never completes
    uint32_t DelayMs = 0;
    uint32_t Status = 0;
    std::string Response;
    uint64_t RaisedEvent = 0;  // the account update the command raised, when scripted to
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

    // Entry points and request dispatch (modem_model.cpp).
    std::string HandleLocked(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock);
    std::string HandleFault(const std::vector<std::string>& words);
    std::string StateLocked() const;

    // The machine: presence, adapters, events, the journal (modem_model_machine.cpp).
    std::string HandleEvent(const std::vector<std::string>& words);
    std::string NetshOutputLocked() const;
    std::vector<std::string> AccountIdsLocked() const;
    void SetPresenceLocked(ModemPresence presence);
    std::vector<std::string> InterfacePathsLocked() const;
    std::string HandleAdapter(const std::vector<std::string>& words);
    void RaiseLocked(const std::string& kind, const std::string& accountId, bool device, bool network);
    void RecordLocked(const std::string& entry);
    int32_t NetworkDeviceStatusLocked() const;
    bool IsDefault5GLocked() const;

    // The mobile broadband service's own life (modem_model_machine.cpp): `service restart MS`
    // and `service life`.
    std::string HandleService(const std::vector<std::string>& words);
    // Once the service's down time is over: it is up, and the interfaces arrive again.
    void ServiceTickLocked();
    // True while the service is down, journaling the first refusal of each down time.
    bool RefusedByServiceLocked(const std::string& call);

    // The AT responder (modem_model_at.cpp).
    // Answers as the 5G or the 4G modem; the journal line starts with `journalPrefix`.
    AtReply AnswerLocked(uint32_t commandId, const std::string& payload, bool is5G,
                         const std::string& journalPrefix = "");

    // The Windows Runtime and Configuration Manager requests and faults (modem_model_runtime.cpp).
    std::string HandleRuntime(const std::vector<std::string>& words, std::unique_lock<std::mutex>& lock);
    std::string HandleRuntimeFault(const std::vector<std::string>& words);
    std::string HandleCmFault(const std::vector<std::string>& words);
    // The flags of a set command's reply that the Runtime facade plays.
    std::string RuntimeFlagsLocked() const;
    // True, journaling ENTRY, when the scripted faults refuse CALL with E_ACCESSDENIED.
    bool DeniedLocked(const std::string& call, const std::string& entry);

    // Mobile Broadband state, faults and notifications (modem_model_mbn.cpp).
    std::string HandleMbn(const std::vector<std::string>& words);
    std::string HandleMbnFault(const std::vector<std::string>& words);
    std::string HandleMbnNotify(const std::vector<std::string>& words);
    void ClearMbnFaultsLocked();
    void ResetMbnLocked();
    std::vector<std::string> MbnInterfacesLocked() const;
    bool MbnInterfacePresentLocked(const std::string& id) const;
    int32_t MbnReadyStateLocked() const;
    // Raises "mbn-ready" for every present interface whose ready state differs from what
    // it was after the previous request.
    void SyncMbnReadyLocked();
    void RaiseMbnLocked(const std::string& kind);

    // The Mobile Broadband facade's requests (modem_model_mbn_requests.cpp).
    std::string HandleMbnRuntime(const std::vector<std::string>& words);
    std::string MbnRequestLocked(const std::vector<std::string>& words);

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
    uint32_t m_EnumerationAfterMs = 0;  // After: completes this long after Start returned
    RuntimeFaults m_Runtime;
    CmChangeFault m_CmChange;
    bool m_CmSizeShort = false;  // the next size call reports one entry too few
    bool m_CmListFails = false;  // the next list call fails
    bool m_AtRaisesUpdate = false;  // every AT command raises an account update

    std::vector<std::string> m_ExtraAdapters;
    std::string m_DriverVersion4G = "1.0.26.3";
    std::string m_DriverVersion5G = "2.4.1.0";

    // Mobile Broadband COM.
    int32_t m_MbnReadyOverride = -1;  // derived from the SIM when negative
    uint32_t m_MbnSoftwareRadio = 1;
    uint32_t m_MbnHardwareRadio = 1;
    uint32_t m_MbnRegisterState = 3;  // MBN_REGISTER_STATE_HOME
    uint32_t m_MbnSignal = 20;
    uint32_t m_MbnActivation = 3;     // MBN_ACTIVATION_STATE_DEACTIVATED
    std::array<MbnRequestFault, 4> m_MbnRequestFaults{};  // open, close, set, query
    std::map<std::string, MbnConnectionPointFault> m_MbnCpFaults;
    int64_t m_MbnSessionStateFault = -1;
    int64_t m_MbnContextFault = -1;
    enum class MbnConnectionFault { None, Fail, PendingNull } m_MbnConnectionFault = MbnConnectionFault::None;
    uint32_t m_MbnConnectionResult = 0;
    bool m_MbnUnadviseWaits = false;  // Unadvise waits for deliveries in progress
    bool m_MbnNested = false;         // calls deliver a notification before they return
    bool m_MbnSignalMissing = false;  // interfaces do not answer IID_IMbnSignal
    int64_t m_MbnNextRequestId = -1;  // the request IDs handed out count from here (the facade's own when negative)
    std::set<std::string> m_MbnOpenSessions;        // "INTERFACE SERVICE"
    std::map<std::string, int32_t> m_MbnReadySeen;  // per present interface

    // The mobile broadband service: objects made in one life answer RPC_E_DISCONNECTED in
    // the next; while down every call answers RPC_S_SERVER_UNAVAILABLE.
    uint64_t m_ServiceLife = 1;
    bool m_ServiceDown = false;
    bool m_ServiceRefusalJournaled = false;
    Clock::time_point m_ServiceUpAt;

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
