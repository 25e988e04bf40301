// The modem operations the system needs, as vendor AT commands tunnelled through the
// modem's MBIM device service: power the SIM off (eject) and on, and ask which SIM slot is
// active.
#pragma once

#include <cstdint>
#include <string>

#include "common/module_platform.h"
#include "common/platform_types.h"

constexpr uint32_t MBIM_PAYLOAD_LIMIT = 4096;   // bytes of a command or an answer
constexpr uint32_t AT_ANSWER_CAPACITY = 4096;   // wide characters of an answer buffer
constexpr uint32_t AT_COMMAND_CAPACITY = 1024;  // bytes of a UTF-8 command, terminator included

// Sends one raw command to the vendor device service (the MBIM transport).
class ModemTransport {
public:
    virtual ~ModemTransport() = default;
    // S_OK with the answer in `response` (MBIM_PAYLOAD_LIMIT bytes), E_FAIL otherwise.
    virtual QuarnHresult ExecuteMBIMCommand(uint32_t ulCommandDataLength, const uint8_t* commandData,
                                            uint32_t* responseLength, uint8_t* response, uint32_t timeoutMs) = 0;
};

// Joins the calling thread to the multi-threaded COM apartment; throws HresultError on failure.
class ComApartment {
public:
    virtual ~ComApartment() = default;
    virtual void JoinMultithreadedApartment() = 0;
};

// Runs a console command hidden and returns what it printed ("Execute failed" when it
// could not be started).
class ConsoleRunner {
public:
    virtual ~ConsoleRunner() = default;
    virtual std::string Execute(const std::wstring& commandLine) = 0;
};

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void SleepMs(uint32_t milliseconds) = 0;
};

struct ModemPorts {
    ModemTransport* Transport;
    ComApartment* Apartment;
    ConsoleRunner* Console;
    Sleeper* Pause;
};

// What the netsh slot-mapping output says. NoSlotTable: no separator line at all, as when
// netsh fails in the user's language (its messages are localized) or could not be run.
// UnreadableTable: the separator line without a slot 0 or 1 right after it, as when netsh
// was ended while it wrote, or lays its table out for another language.
enum class NetshSlotResult { Slot1, Slot2, InterfaceError, NoSlotTable, UnreadableTable };
NetshSlotResult ParseNetshSlotMapping(const std::string& output);

// Writes the UTF-8 form of `text` with a terminating zero into `buffer` (`capacity` bytes).
// Returns the byte count without the terminator, or -1 (buffer left empty) when it does not fit.
int WideToUtf8(const wchar_t* text, char* buffer, std::size_t capacity);

class MBIMCommand {
public:
    static void Attach(const ModemPorts& ports);

    // Sends `command` and, on S_OK, writes the answer as wide text into `answer`
    // (AT_ANSWER_CAPACITY characters). One command at a time in the process.
    static QuarnHresult QUARN_ATTUNNEL_MBIM_Extension(const wchar_t* command, wchar_t* answer, uint32_t timeoutMs);

    static QuarnHresult SendRemoveSimCard(ModulePlatform platform);
    static QuarnHresult SendPowerOnSimCard();
    // The SIM power-offs sent so far that the modem acknowledged. A power-on asked for by an
    // event (a modem's arrival) takes this count when the event comes, and the power-on
    // below sends nothing once the user has ejected the SIM since: the event is older than
    // the eject. S_FALSE then.
    static uint32_t SimEjectCount();
    static QuarnHresult SendPowerOnSimCardUnlessEjectedSince(uint32_t ejectCount);
    static QuarnHresult GetSimSlot(uint32_t* slot, ModulePlatform platform);

private:
    static QuarnHresult RunAtCommandLocked(const wchar_t* command, wchar_t* answer, uint32_t timeoutMs);
    static QuarnHresult PowerOnSimCard(const uint32_t* unlessEjectedSince);
};
