// ModemModel's AT responder: answers like the 4G or the 5G modem, powers the SIM off and on.
#include "emulator/model/modem_model.h"

#include "emulator/model/modem_model_text.h"

namespace emu {

using namespace model_text;

namespace {

constexpr uint32_t kAtTunnelCommandId = 1;

// Modems frame every answer line with CR LF on both sides.
std::string Framed(const std::string& line) { return "\r\n" + line + "\r\n"; }

}  // namespace

AtReply ModemModel::HandleSetCommand(uint32_t commandId, const std::string& payload) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const AtReply reply = AnswerLocked(commandId, payload, IsDefault5GLocked());
    SyncMbnReadyLocked();
    return reply;
}

AtReply ModemModel::AnswerLocked(uint32_t commandId, const std::string& payload, bool is5G,
                                 const std::string& journalPrefix) {
    RecordLocked(journalPrefix + "at cmd=" + std::to_string(commandId) + " len=" + std::to_string(payload.size()) +
                 " \"" + Escape(payload) + "\"");
    AtReply reply;
    if (m_AtRaisesUpdate) {
        // As the system may do while a command runs: the account's device information
        // changed, reported on the watcher's own thread.
        for (const std::string& id : AccountIdsLocked()) {
            RaiseLocked("updated", id, true, false);
            reply.RaisedEvent = m_NextEvent - 1;
        }
    }
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

}  // namespace emu
