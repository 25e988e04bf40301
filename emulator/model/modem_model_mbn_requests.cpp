// ModemModel's Mobile Broadband facade requests ("mbn rt ..."): sessions, commands, completions.
#include "emulator/model/modem_model.h"

#include "emulator/model/modem_model_text.h"

namespace emu {

using namespace model_text;

namespace {

// HRESULTs the Mobile Broadband requests use.
constexpr uint32_t kPending = 0x8000000A;       // E_PENDING: the request still completes
constexpr uint32_t kInvalidState = 0x8007139F;  // HRESULT_FROM_WIN32(ERROR_INVALID_STATE)

bool IsFailure(uint32_t result) { return (result & 0x80000000u) != 0; }

}  // namespace

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
    if (sub == "requestid" && n == 4) {
        // mbn rt requestid PROPOSED: the ID the facade gives the request it is about to issue.
        if (m_MbnNextRequestId < 0) {
            return Ok(words[3]);
        }
        return Ok(std::to_string(static_cast<uint32_t>(m_MbnNextRequestId++)));
    }
    if (sub == "signal" && n == 3) {
        return m_MbnSignalMissing ? Ok("missing") : Ok();
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
// being a delay in milliseconds, "never", "early", "early-foreign", "early-stale-N" or
// "late-foreign", and REQUEST_ID the one the completion
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
    } else if (fault.Timing == MbnTiming::EarlyForeign) {
        timing = "early-foreign";
    } else if (fault.Timing == MbnTiming::EarlyStale) {
        timing = "early-stale-" + std::to_string(fault.StaleCount);
    } else if (fault.Timing == MbnTiming::LateForeign) {
        timing = "late-foreign";
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
