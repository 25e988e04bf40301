#include "modem/mbim_command.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/hresult_error.h"
#include "common/utf8.h"
#include "trace/trace.h"

namespace {

// The AT commands, their time-outs and the answers looked for.
struct AtCommand {
    const wchar_t* Text;
    uint32_t TimeoutMs;
};
struct SlotQuery {
    AtCommand Command;
    const wchar_t* Slot1Answer;
    const wchar_t* Slot2Answer;
};

constexpr AtCommand kRemoveSim4G{L"AT+XSIMPOWER=0,1\r\n", 1000};
constexpr AtCommand kRemoveSim5G{L"AT+ESIMPOWER=0,1\r\n", 1000};
constexpr AtCommand kPowerOnSim4G{L"AT+XSIMPOWER=1,1\r\n", 1000};
constexpr SlotQuery kSlotQueryEsimmap{{L"at+esimmap?\r\n", 3000}, L"+ESIMMAP: 1", L"+ESIMMAP: 2"};
constexpr SlotQuery kSlotQueryCsus{{L"at+csus?\r\n", 3000}, L"+CSUS: 0", L"+CSUS: 1"};
constexpr const wchar_t* kAnswerOk = L"OK";
constexpr int kPowerOnAttempts = 3;
constexpr uint32_t kPowerOnRetryPauseMs = 1000;

constexpr const wchar_t* NETSH_SLOT_MAPPING_COMMAND = L"netsh mbn show slotmapping *";
constexpr const char* NETSH_ERROR_TEXT = "Failed to access the interface: error";
// 37 hyphens and CR LF: the line under the table's heading.
constexpr std::string_view NETSH_SEPARATOR_LINE = "-------------------------------------\r\n";
static_assert(NETSH_SEPARATOR_LINE.size() == 39, "37 hyphens, CR and LF");

std::mutex ATCommandMutex;
// Written and compared under ATCommandMutex, with the command it belongs to: a power-on that
// checked it is sent before a power-off that counts, or sees the count.
uint32_t g_SimEjects = 0;
ModemPorts g_Ports{};

bool Contains(const wchar_t* text, const wchar_t* pattern) { return std::wcsstr(text, pattern) != nullptr; }

}  // namespace

int WideToUtf8(const wchar_t* text, char* buffer, std::size_t capacity) {
    const std::string utf8 = WideToUtf8String(text);
    if (capacity == 0) {
        return -1;
    }
    buffer[0] = '\0';
    if (utf8.size() + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, utf8.c_str(), utf8.size() + 1);
    return static_cast<int>(utf8.size());
}

NetshSlotResult ParseNetshSlotMapping(const std::string& output) {
    if (output.find(NETSH_ERROR_TEXT) != std::string::npos) {
        return NetshSlotResult::InterfaceError;
    }
    const std::size_t separator = output.find(NETSH_SEPARATOR_LINE);
    if (separator == std::string::npos) {
        return NetshSlotResult::NoSlotTable;
    }
    const std::size_t next = separator + NETSH_SEPARATOR_LINE.size();
    if (next >= output.size()) {
        return NetshSlotResult::UnreadableTable;
    }
    if (output[next] == '0') {
        return NetshSlotResult::Slot1;
    }
    if (output[next] == '1') {
        return NetshSlotResult::Slot2;
    }
    return NetshSlotResult::UnreadableTable;
}

void MBIMCommand::Attach(const ModemPorts& ports) { g_Ports = ports; }

QuarnHresult MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension(const wchar_t* command, wchar_t* answer, uint32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(ATCommandMutex);
    return RunAtCommandLocked(command, answer, timeoutMs);
}

// The caller holds ATCommandMutex.
QuarnHresult MBIMCommand::RunAtCommandLocked(const wchar_t* command, wchar_t* answer, uint32_t timeoutMs) {
    static constexpr const char* kName = "MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension";
    LOG_INFO("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : %s ++\n", kName);

    uint8_t commandBuffer[AT_COMMAND_CAPACITY] = {};
    uint8_t rawAnswer[MBIM_PAYLOAD_LIMIT] = {};
    uint32_t answerLength = 0;
    // One more byte than an answer can have, so the text always ends in a zero.
    char answerText[MBIM_PAYLOAD_LIMIT + 1] = {};

    g_Ports.Apartment->JoinMultithreadedApartment();

    char converted[AT_COMMAND_CAPACITY] = {};
    const int payloadLength = WideToUtf8(command, converted, sizeof(converted));
    if (payloadLength < 0) {
        LOG_ERROR("[ERROR] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : %s: command longer than %u bytes refused\n",
                  kName, AT_COMMAND_CAPACITY - 1);
        LOG_INFO("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : %s --\n", kName);
        return QUARN_E_FAIL;
    }
    std::memcpy(commandBuffer, converted, static_cast<std::size_t>(payloadLength));
    LOG_INFO("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : (%lu), %s\n",
             static_cast<unsigned long>(payloadLength), converted);

    QuarnHresult result = g_Ports.Transport->ExecuteMBIMCommand(static_cast<uint32_t>(payloadLength), commandBuffer,
                                                                &answerLength, rawAnswer, timeoutMs);
    if (result == QUARN_S_OK && answerLength > MBIM_PAYLOAD_LIMIT) {
        LOG_ERROR("[ERROR] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : %s: answer of %lu bytes refused\n", kName,
                  static_cast<unsigned long>(answerLength));
        result = QUARN_E_FAIL;
    }
    if (result == QUARN_S_OK) {
        std::memcpy(answerText, rawAnswer, answerLength);
        // Each byte becomes the character of the same code, up to the first zero byte.
        std::size_t i = 0;
        for (; answerText[i] != '\0' && i + 1 < AT_ANSWER_CAPACITY; ++i) {
            answer[i] = static_cast<wchar_t>(static_cast<unsigned char>(answerText[i]));
        }
        answer[i] = L'\0';
        LOG_INFO("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : at_rsp: %s\n", answerText);
    }
    LOG_INFO("[INFO] MBIMCommand::QUARN_ATTUNNEL_MBIM_Extension : %s --\n", kName);
    return result;
}

QuarnHresult MBIMCommand::SendRemoveSimCard(ModulePlatform platform) {
    std::vector<wchar_t> answer(AT_ANSWER_CAPACITY, L'\0');
    const AtCommand& command = platform == PLATFORM_4G ? kRemoveSim4G : kRemoveSim5G;
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(ATCommandMutex);
        if (RunAtCommandLocked(command.Text, answer.data(), command.TimeoutMs) != QUARN_S_OK) {
            return QUARN_E_FAIL;
        }
        ok = Contains(answer.data(), kAnswerOk);
        if (ok) {
            ++g_SimEjects;
        }
    }
    LOG_INFO("[INFO] MBIMCommand::SendRemoveSimCard : response: %ls\n", answer.data());
    return ok ? QUARN_S_OK : QUARN_E_FAIL;
}

uint32_t MBIMCommand::SimEjectCount() {
    std::lock_guard<std::mutex> lock(ATCommandMutex);
    return g_SimEjects;
}

QuarnHresult MBIMCommand::SendPowerOnSimCard() { return PowerOnSimCard(nullptr); }

QuarnHresult MBIMCommand::SendPowerOnSimCardUnlessEjectedSince(uint32_t ejectCount) {
    return PowerOnSimCard(&ejectCount);
}

QuarnHresult MBIMCommand::PowerOnSimCard(const uint32_t* unlessEjectedSince) {
    static constexpr const char* kName = "MBIMCommand::SendPowerOnSimCard";
    LOG_INFO("[INFO] MBIMCommand::SendPowerOnSimCard : %s ++, platform: %d\n", kName, static_cast<int>(PLATFORM_4G));
    std::vector<wchar_t> answer(AT_ANSWER_CAPACITY, L'\0');
    for (int failures = 0; failures < kPowerOnAttempts;) {
        QuarnHresult result = QUARN_E_FAIL;
        {
            std::lock_guard<std::mutex> lock(ATCommandMutex);
            if (unlessEjectedSince != nullptr && *unlessEjectedSince != g_SimEjects) {
                LOG_INFO("[INFO] MBIMCommand::SendPowerOnSimCard : %s -- the SIM was ejected after the request: not sent\n",
                         kName);
                return QUARN_S_FALSE;
            }
            result = RunAtCommandLocked(kPowerOnSim4G.Text, answer.data(), kPowerOnSim4G.TimeoutMs);
        }
        if (result == QUARN_S_OK) {
            LOG_INFO("[INFO] MBIMCommand::SendPowerOnSimCard : response: %ls\n", answer.data());
            if (Contains(answer.data(), kAnswerOk)) {
                LOG_INFO("[INFO] MBIMCommand::SendPowerOnSimCard : %s -- S_OK\n", kName);
                return QUARN_S_OK;
            }
        }
        ++failures;
        LOG_INFO("[INFO] MBIMCommand::SendPowerOnSimCard : %s -- Retry %d/%d. HRESULT: 0x%X\n", kName, failures,
                 kPowerOnAttempts, static_cast<unsigned>(result));
        g_Ports.Pause->SleepMs(kPowerOnRetryPauseMs);
    }
    LOG_INFO("[INFO] MBIMCommand::SendPowerOnSimCard : %s -- All retries failed. E_FAIL\n", kName);
    return QUARN_E_FAIL;
}

QuarnHresult MBIMCommand::GetSimSlot(uint32_t* slot, ModulePlatform platform) {
    const SlotQuery* query = &kSlotQueryEsimmap;
    if (platform == PLATFORM_4G) {
        const std::string output = g_Ports.Console->Execute(NETSH_SLOT_MAPPING_COMMAND);
        LOG_INFO("[INFO] MBIMCommand::GetSimSlot : netsh_result: %s\n", output.c_str());
        switch (ParseNetshSlotMapping(output)) {
        case NetshSlotResult::InterfaceError:
            LOG_WARNING("[WARNING] MBIMCommand::GetSimSlot : Netsh executed error, try with AT command.\n");
            query = &kSlotQueryCsus;
            break;
        case NetshSlotResult::NoSlotTable:
            // Only the English error is known by its text; on other systems netsh fails in the
            // user's language and code page, so any output without the table asks the modem.
            LOG_WARNING("[WARNING] MBIMCommand::GetSimSlot : Netsh printed no slot table, try with AT command.\n");
            query = &kSlotQueryCsus;
            break;
        case NetshSlotResult::Slot1:
            LOG_INFO("[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 1\n");
            *slot = 1;
            return QUARN_S_OK;
        case NetshSlotResult::Slot2:
            LOG_INFO("[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 2\n");
            *slot = 2;
            return QUARN_S_OK;
        case NetshSlotResult::UnreadableTable:
            // The modem knows the slot whatever netsh printed; failing here would leave the
            // icon wrong for as long as netsh prints the same.
            LOG_WARNING("[WARNING] MBIMCommand::GetSimSlot : Netsh slot table unreadable, try with AT command.\n");
            query = &kSlotQueryCsus;
            break;
        }
    }

    try {
        std::vector<wchar_t> answer(AT_ANSWER_CAPACITY, L'\0');
        if (QUARN_ATTUNNEL_MBIM_Extension(query->Command.Text, answer.data(), query->Command.TimeoutMs) != QUARN_S_OK ||
            !Contains(answer.data(), kAnswerOk)) {
            return QUARN_E_FAIL;
        }
        if (Contains(answer.data(), query->Slot1Answer)) {
            LOG_INFO("[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 1\n");
            *slot = 1;
            return QUARN_S_OK;
        }
        if (Contains(answer.data(), query->Slot2Answer)) {
            LOG_INFO("[INFO] MBIMCommand::GetSimSlot : Current SIM select is : 2\n");
            *slot = 2;
            return QUARN_S_OK;
        }
        LOG_WARNING("[WARNING] MBIMCommand::GetSimSlot : Unknown sim slot.\n");
    } catch (const std::runtime_error& e) {
        LOG_ERROR("[ERROR] MBIMCommand::GetSimSlot : Catch runtime_error: %s\n", e.what());
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] MBIMCommand::GetSimSlot : Catch exception: %s\n", e.what());
    } catch (const HresultError& e) {
        LOG_ERROR("[ERROR] MBIMCommand::GetSimSlot : Catch hresult_error: %x, %ls\n", static_cast<unsigned>(e.code()),
                  e.message().c_str());
    } catch (...) {
        LOG_ERROR("[ERROR] MBIMCommand::GetSimSlot : Catch Unknown exception\n");
    }
    return QUARN_E_FAIL;
}
