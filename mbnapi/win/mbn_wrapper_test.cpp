// The Mobile Broadband wrapper under Wine against the emulator's COM classes: discovery and
// connection, the subscriptions and their failures, command sessions with their completions
// and time-outs, removal, shut-down, the sink, and the state queries.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/win/emu_channel.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/mbn_interface.h"
#include "mbnapi/win/mbn_module.h"
#include "mbnapi/win/mbn_sinks.h"
#include "monitor/device_monitor.h"
#include "tests/support/counting_requests.h"
#include "tests/support/trace_capture.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"
#include "tests/support/win/facade_objects.h"

using namespace QuarnMbn;

namespace {

wchar_t kInterface4G[] = L"{5A3E0AC9-0000-4000-8000-00000000004A}";
wchar_t kInterface5G[] = L"{14C34D75-0000-4000-8000-00000000005A}";
wchar_t kAtService[] = L"{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";
constexpr ULONG kAtCommand = 1;
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x80070102);

CountingRequests g_Requests;
EmulatorProcess g_Emulator;

void Emu(const std::string& request) {
    const std::string reply = EmuRequest(request);
    ASSERT_EQ(reply.rfind("ok", 0), 0u) << request << " -> " << reply;
}

int CountOf(const TraceCapture& trace, const std::string& line) {
    int count = 0;
    for (const std::string& text : trace.Texts()) {
        count += text == line ? 1 : 0;
    }
    return count;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(hr));
    return text;
}

// Captures what the process writes to its standard output while `body` runs.
template <typename Body>
std::string CaptureStdout(Body body) {
    char path[MAX_PATH];
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "mbn", 0, path);
    std::fflush(stdout);
    const int saved = _dup(1);
    const int file = _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(file, 1);
    body();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    _close(file);
    std::string text;
    if (FILE* in = std::fopen(path, "rb")) {
        char buffer[256];
        size_t read;
        while ((read = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
            text.append(buffer, read);
        }
        std::fclose(in);
    }
    DeleteFileA(path);
    return text;
}

std::string AsText(const BYTE* data, ULONG size) { return std::string(reinterpret_cast<const char*>(data), size); }

HRESULT SendAt(const char* command, std::string* answer, ULONG timeout = 3000) {
    std::vector<BYTE> bytes(command, command + std::strlen(command));
    BYTE response[MBN_RESPONSE_BUFFER_SIZE] = {};
    ULONG size = 0;
    HRESULT hr = S_OK;
    CaptureStdout([&] {
        hr = SetCommand(nullptr, kAtService, kAtCommand, static_cast<ULONG>(bytes.size()), bytes.data(), &size,
                        response, timeout);
    });
    if (answer != nullptr) {
        *answer = AsText(response, size);
    }
    return hr;
}

int TakeReadyState() {
    StateGuard guard;
    return static_cast<int>(g_ReadyState);
}

int RecordsInUse() {
    StateGuard guard;
    int count = 0;
    for (const CommandSessionEntry& entry : g_SessionTable) {
        count += entry.bInUse ? 1 : 0;
    }
    return count;
}

class MbnWrapper : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // One server for the whole process, however often the suite runs: the facades loaded
        // here follow its events by number, and a new server would number them from 1 again,
        // so they would miss every event until its numbers passed the old ones. The server
        // ends with this process.
        static const testing::AssertionResult started = g_Emulator.Start();
        ASSERT_TRUE(started);
        AttachMbnSimStatusRequests(&g_Requests);
    }
    static void TearDownTestSuite() { AttachMbnSimStatusRequests(nullptr); }

protected:
    void SetUp() override {
        Emu("reset");
        g_Requests.triggers = 0;
        g_Requests.powerOns = 0;
    }
    void TearDown() override {
        DeInitRegisterMBIMInterface();
        // An outside caller's EnumInterface leaves its manager to the process; the next test
        // starts without one.
        ReleaseOwned(g_InterfaceMgr);
        ASSERT_FALSE(bInitialied);
        ASSERT_FALSE(bInterfaceConnected);
    }
    static bool Connected() { return bInterfaceConnected != FALSE; }
    // Starts the wrapper on the 4G modem and waits for the connection.
    void StartConnected(const char* modem = "4g") {
        Emu(std::string("modem ") + modem);
        ASSERT_EQ(InitRegisterMBIMInterface(), S_OK);
        ASSERT_TRUE(Connected());
    }
};

TEST_F(MbnWrapper, NoInterfaceAtStartThenAnArrivalConnectsAndWakesTheWorker) {
    TraceCapture trace;
    EXPECT_EQ(InitRegisterMBIMInterface(), S_OK);
    EXPECT_TRUE(bInitialied);
    EXPECT_FALSE(Connected());
    EXPECT_TRUE(trace.Contains("[INFO] DetectMbInterface : Succeeded Found 0 interfaces\n"));
    EXPECT_TRUE(trace.Contains("[INFO] DetectMbInterface : Interface INVALID\n"));
    EXPECT_TRUE(trace.Contains("[INFO] ConnectMBIMInterface : --\n"));

    Emu("modem 4g");
    ASSERT_TRUE(Eventually([] { return Connected(); }));
    EXPECT_TRUE(Eventually([] { return g_Requests.powerOns.load() == 1; }));
    EXPECT_EQ(g_Requests.triggers.load(), 1);
    EXPECT_STREQ(g_InterfaceID, kInterface4G);
    EXPECT_TRUE(trace.Contains("[INFO] CMbnSinks::OnInterfaceArrival :    ***** MBIM Interface <- Arrival\n"));
    EXPECT_TRUE(trace.Contains("[INFO] InterfaceAddRemoveEventCallback : Reopen Sessions\n"));
    // The sink's own ConnectMBIMInterface then finds the interface connected.
    EXPECT_TRUE(trace.Contains("[INFO] ConnectInterface : bInterfaceConnected is already TRUE\n"));

    const int previous = TakeReadyState();
    Emu("sim off");
    EXPECT_TRUE(Eventually([&] {
        return trace.Contains("[INFO] CMbnSinks::OnReadyStateChange :    *****Received OnReadyStateChange Event, "
                              "previous: " + std::to_string(previous) + ", current: 2\n");
    }));
}

TEST_F(MbnWrapper, TwoInterfacesTheFirstIsTakenAndASecondInitOnlyReconnects) {
    Emu("modem both");
    TraceCapture trace;
    ASSERT_EQ(InitRegisterMBIMInterface(), S_OK);
    EXPECT_TRUE(Connected());
    EXPECT_TRUE(trace.Contains("[INFO] DetectMbInterface : Succeeded Found 2 interfaces\n"));
    EXPECT_STREQ(g_InterfaceID, kInterface4G);

    EXPECT_EQ(InitRegisterMBIMInterface(), S_OK);
    EXPECT_TRUE(trace.Contains("[INFO] InitRegisterMBIMInterface : bInitialied is already TRUE\n"));
    // Connecting while connected changes nothing, whatever the identifier.
    EXPECT_EQ(ConnectInterface(kInterface5G), S_OK);
    EXPECT_EQ(CountOf(trace, "[INFO] ConnectInterface : bInterfaceConnected is already TRUE\n"), 2);
    EXPECT_STREQ(g_InterfaceID, kInterface4G);
}

TEST_F(MbnWrapper, EnumInterfaceWritesEveryRecordAndTheCount) {
    Emu("modem both");
    _MBIMIDS ids[3] = {};
    LONG count = -1;
    ASSERT_EQ(EnumInterface(&count, ids), S_OK);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(ids[0].szInterfaceID, kInterface4G);
    EXPECT_STREQ(ids[1].szInterfaceID, kInterface5G);
    EXPECT_EQ(ids[2].szInterfaceID[0], L'\0');
    EXPECT_EQ(EnumInterface(nullptr, ids), E_POINTER);
    // The count is set to 0 first, even when the records cannot be written.
    count = 7;
    EXPECT_EQ(EnumInterface(&count, nullptr), E_POINTER);
    EXPECT_EQ(count, 0);
}

struct SubscriptionFault {
    const char* request;
    HRESULT expected;
    const char* line;  // nullptr: the stop leaves no line of its own
};

TEST_F(MbnWrapper, EachSubscriptionFailureStopsTheConnectionWithItsMessage) {
    const HRESULT failure = static_cast<HRESULT>(0x80040200);
    // One row a way to stop: a failed find with its message, and without one; a point that is
    // NULL; a failed Advise; the device-services context.
    const SubscriptionFault faults[] = {
        {"mbn fault cp InterfaceEvents find 0x80040200", failure,
         "[INFO] ConnectInterface : IID_IMbnInterfaceEvents FindConnectionPoint FAILED: 0x80040200\n"},
        {"mbn fault cp RegistrationEvents find 0x80040200", failure, nullptr},
        {"mbn fault cp DeviceServicesEvents find null", S_OK,
         "[INFO] ConnectInterface :  pDeviceServiceEventsConnectionPoint is NULL\n"},
        {"mbn fault cp ConnectionEvents advise 0x80040200", failure,
         "[INFO] ConnectInterface : pConnectionEventsConnectionPoint Advise FAILED: 0x80040200\n"},
        {"mbn fault context 0x80040200", failure,
         "[INFO] ConnectInterface : g_MbnDeviceServicesManager->GetDeviceServicesContext FAILED: 0x80040200\n"},
    };
    Emu("modem 4g");
    for (const SubscriptionFault& fault : faults) {
        SCOPED_TRACE(fault.request);
        Emu("mbn fault none");
        ASSERT_EQ(InitRegisterMBIMInterface(), S_OK);
        ASSERT_TRUE(Connected());
        DisconnectInterface();
        Emu(fault.request);
        TraceCapture trace;
        EXPECT_EQ(ConnectInterface(kInterface4G), fault.expected);
        EXPECT_FALSE(Connected());
        if (fault.line != nullptr) {
            EXPECT_TRUE(trace.Contains(fault.line));
        }
        for (const std::string& text : trace.Texts()) {
            if (fault.line == nullptr) {
                EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
            }
        }
        DeInitRegisterMBIMInterface();
    }
}

// An interface without IMbnSignal: the connection stops there, leaving the registration
// the sink stored meanwhile.
TEST_F(MbnWrapper, AFailedSignalQueryLeavesTheReferencesTheSinkStored) {
    Emu("modem 4g");
    Emu("mbn fault signal missing");
    ASSERT_EQ(InitRegisterMBIMInterface(), S_OK);
    ASSERT_FALSE(Connected());
    Emu("mbn notify register");
    ASSERT_TRUE(Eventually([] {
        StateGuard guard;
        return g_MbnRegistration != nullptr;
    }));
    EXPECT_EQ(ConnectInterface(kInterface4G), E_NOINTERFACE);
    EXPECT_FALSE(Connected());
    {
        StateGuard guard;
        EXPECT_NE(g_MbnRegistration, nullptr);
        EXPECT_EQ(g_MbnSignal, nullptr);
    }
    // The subscriptions that the stopped connection made end with the module.
    CMbnSinks* sink = g_CMbnSinks;
    DeInitRegisterMBIMInterface();
    EXPECT_EQ(sink->CurrentRefCount(), 0);
}

TEST_F(MbnWrapper, OpenOnAnOpenSessionAndCloseOnAClosedOneChangeNoRecord) {
    EXPECT_EQ(CloseCommandSession(kAtService), FALSE) << "no device-services context before connecting";
    StartConnected();
    TraceCapture trace;
    EXPECT_EQ(OpenCommandSession(kAtService), S_OK);
    EXPECT_EQ(OpenCommandSession(kAtService), S_OK);
    EXPECT_EQ(CountOf(trace, "[INFO] OpenCommandSession : OpenCommandSession call successful... waiting for callback\n"),
              1);
    EXPECT_EQ(RecordsInUse(), 1);
    EXPECT_TRUE(g_SessionTable[0].bSessionOpen);

    EXPECT_EQ(CloseCommandSession(kAtService), TRUE);
    EXPECT_TRUE(g_SessionTable[0].bInUse);
    EXPECT_FALSE(g_SessionTable[0].bSessionOpen);
    EXPECT_EQ(CloseCommandSession(kAtService), TRUE);
    EXPECT_EQ(CountOf(trace, "[INFO] CloseCommandSession : CloseCommandSession call successful... waiting for callback\n"),
              1);

    wchar_t unknown[] = L"{00000000-1111-2222-3333-444444444444}";
    EXPECT_EQ(OpenCommandSession(unknown), static_cast<HRESULT>(0x80070490));
    EXPECT_TRUE(trace.Contains("[INFO] OpenCommandSession : GetDeviceService FAILED: 0x80070490\n"));
}

TEST_F(MbnWrapper, TheThirtyThirdOpenIsNotRecordedAndNotClosedAtShutDown) {
    StartConnected();
    for (int i = 0; i < SESSION_TABLE_SIZE; ++i) {
        ASSERT_EQ(OpenCommandSession(kAtService), S_OK);
        ASSERT_EQ(CloseCommandSession(kAtService), TRUE);
    }
    EXPECT_EQ(RecordsInUse(), SESSION_TABLE_SIZE);
    ASSERT_EQ(OpenCommandSession(kAtService), S_OK);
    for (const CommandSessionEntry& entry : g_SessionTable) {
        EXPECT_FALSE(entry.bSessionOpen);
    }
    TraceCapture trace;
    Emu("journal clear");
    DeInitRegisterMBIMInterface();
    EXPECT_TRUE(trace.Contains("[INFO] DeInitRegisterMBIMInterface : Closing Open Sessions\n"));
    EXPECT_EQ(EmuRequest("journal").find("mbn close"), std::string::npos);
}

TEST_F(MbnWrapper, SetCommandWritesItsBytesAsHexAndSendsNoArrayForNone) {
    StartConnected();
    BYTE bytes[] = {0x01, 0xAB, 0xFF};
    ULONG size = 0;
    BYTE response[MBN_RESPONSE_BUFFER_SIZE];
    HRESULT hr = E_FAIL;
    std::string out = CaptureStdout([&] { hr = SetCommand(nullptr, kAtService, kAtCommand, 3, bytes, &size, response, 3000); });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(out, "\t Command Data=\n01 AB FF ");

    out = CaptureStdout([&] { hr = SetCommand(nullptr, kAtService, kAtCommand, 0, nullptr, &size, response, 3000); });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(out, "");
    EXPECT_NE(EmuRequest("journal").find("len=0"), std::string::npos);

    // Bytes promised but not given are never read.
    EXPECT_EQ(SetCommand(nullptr, kAtService, kAtCommand, 4, nullptr, &size, response, 3000), E_POINTER);
}

TEST_F(MbnWrapper, RequestsThatTimeOutReportIt_AndTheirLateCompletionsAreNotTakenForTheNext) {
    StartConnected();
    Emu("mbn fault set delay 1200");
    Emu("mbn fault set status 0x80004005");
    TraceCapture trace;
    EXPECT_EQ(SendAt("at+csus?\r\n", nullptr, 300), kTimedOut);
    EXPECT_TRUE(trace.Contains("[INFO] SetCommand : SetCommand WaitForSingleObject FAILED: 0x80070102\n"));
    EXPECT_EQ(g_SetRequestID, 0u);
    // The late completion arrives and is stored, but matches no pending request.
    ASSERT_TRUE(Eventually([] {
        StateGuard guard;
        return g_CallbackStatus == E_FAIL;
    }));
    Emu("mbn fault set delay 1200");
    Emu("mbn fault set status 0");
    std::string answer;
    EXPECT_EQ(SendAt("at+csus?\r\n", &answer, 3000), S_OK);
    EXPECT_NE(answer.find("+CSUS: 0"), std::string::npos);

    Emu("mbn fault query delay never");
    BYTE query[] = {'a', 't'};
    ULONG size = 77;
    BYTE response[MBN_RESPONSE_BUFFER_SIZE];
    const size_t linesBefore = trace.Texts().size();
    EXPECT_EQ(QueryCommand(nullptr, kAtService, kAtCommand, sizeof(query), query, &size, response), kTimedOut);
    EXPECT_EQ(size, 77u);
    const std::vector<std::string> lines = trace.Texts();
    ASSERT_GT(lines.size(), linesBefore + 1);
    EXPECT_EQ(lines[lines.size() - 2].rfind("[INFO] QueryCommand : QueryCommand call successful", 0), 0u);
    EXPECT_EQ(lines.back(), "[INFO] QueryCommand : --\n");
}

TEST_F(MbnWrapper, ACompletionIsMatchedByItsRequestIdWhenItComesAndWhateverItsNumber) {
    StartConnected();
    Emu("mbn fault set requestid foreign");
    EXPECT_EQ(SendAt("at+csus?\r\n", nullptr, 500), kTimedOut);

    // Before the call returns: alone, and followed by another request's.
    for (const char* early : {"mbn fault set early", "mbn fault set early-foreign"}) {
        Emu("mbn fault none");
        Emu(early);
        std::string answer;
        EXPECT_EQ(SendAt("at+csus?\r\n", &answer, 2000), S_OK) << early;
        EXPECT_NE(answer.find("+CSUS: 0"), std::string::npos) << early;
    }

    // Numbered 0 by the API, completed after the call returns.
    Emu("mbn fault none");
    Emu("mbn fault set delay 100");
    Emu("mbn fault query delay 100");
    Emu("mbn fault requestids 0");
    EXPECT_EQ(SendAt("at+csus?\r\n", nullptr, 2000), S_OK);
    EXPECT_NE(EmuRequest("journal").find("mbn set id=0 "), std::string::npos);
    Emu("mbn fault requestids 0");
    BYTE query[] = {'a', 't', '\r', '\n'};
    BYTE response[MBN_RESPONSE_BUFFER_SIZE] = {};
    ULONG size = 0;
    EXPECT_EQ(QueryCommand(nullptr, kAtService, kAtCommand, sizeof(query), query, &size, response), S_OK);

    // An open is released by its own completion only, not by another open's.
    Emu("mbn fault none");
    ASSERT_EQ(CloseCommandSession(kAtService), TRUE);
    Emu("mbn fault open requestid foreign");
    EXPECT_EQ(OpenCommandSession(kAtService), kTimedOut);

    // Late completions of requests that timed out, coming during a later call after that
    // call's own, leave the call's own in place.
    Emu("mbn fault none");
    ASSERT_EQ(OpenCommandSession(kAtService), S_OK);
    Emu("mbn fault set delay never");
    for (int i = 0; i < MBN_EARLY_COMPLETIONS; ++i) {
        ASSERT_EQ(SendAt("at\r\n", nullptr, 50), kTimedOut);
    }
    Emu("mbn fault set early-stale " + std::to_string(MBN_EARLY_COMPLETIONS));
    std::string answer;
    EXPECT_EQ(SendAt("at+csus?\r\n", &answer, 2000), S_OK);
    EXPECT_NE(answer.find("+CSUS: 0"), std::string::npos);
}

// The state queries wait on nothing: not on a set that waits 3 s for a silent modem. Each
// answers in a few pipe round trips to the emulator (under 100 ms on an idle machine, more
// under load); one that waited behind the set would take what is left of its 3 s.
TEST_F(MbnWrapper, StateQueriesAnswerAtOnceWhileASetWaits) {
    StartConnected();
    ASSERT_EQ(OpenCommandSession(kAtService), S_OK);
    Emu("mbn fault set delay never");
    Emu("journal clear");
    std::thread set([] {
        ULONG size = 0;
        BYTE response[MBN_RESPONSE_BUFFER_SIZE];
        SetCommand(nullptr, kAtService, kAtCommand, 0, nullptr, &size, response, 3000);
    });
    ASSERT_TRUE(Eventually([] { return EmuRequest("journal").find("mbn set id=") != std::string::npos; }));
    MBN_RADIO software = MBN_RADIO_OFF;
    MBN_RADIO hardware = MBN_RADIO_OFF;
    MBN_ACTIVATION_STATE activation = MBN_ACTIVATION_STATE_NONE;
    MBN_REGISTER_STATE registration = MBN_REGISTER_STATE_NONE;
    const struct {
        const char* name;
        std::function<HRESULT()> call;
    } queries[] = {
        {"GetRadioState", [&] { return GetRadioState(kInterface4G, &software, &hardware); }},
        {"GetConnectionState", [&] { return GetConnectionState(kInterface4G, &activation); }},
        {"GetRegisterState", [&] { return GetRegisterState(nullptr, &registration); }},
    };
    for (const auto& query : queries) {
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(query.call(), S_OK) << query.name;
        EXPECT_LT(GetTickCount64() - start, 1500u) << query.name;
    }
    set.join();
}

// The results a caller acts on: 50 where there is nothing to talk to (a positive value a
// FAILED test takes for success), E_PENDING from a request call that still completes,
// another success code that ends the call at once with the outputs untouched, and an empty
// response.
TEST_F(MbnWrapper, ResultsThatCallersActOn) {
    BYTE query[] = {'a', 't', '\r', '\n'};
    BYTE response[MBN_RESPONSE_BUFFER_SIZE];
    ULONG size = 77;
    // Not connected: no device-services context.
    EXPECT_EQ(OpenCommandSession(kAtService), MBN_RESULT_NOT_AVAILABLE);
    EXPECT_EQ(SendAt("at\r\n", nullptr), MBN_RESULT_NOT_AVAILABLE);
    EXPECT_EQ(QueryCommand(nullptr, kAtService, kAtCommand, sizeof(query), query, &size, response),
              MBN_RESULT_NOT_AVAILABLE);
    EXPECT_EQ(size, 77u);

    StartConnected();
    const struct {
        const char* fault;
        HRESULT expected;
        bool outputsWritten;
        ULONG size;
    } cases[] = {
        {"mbn fault set result 0x8000000A", S_OK, true, 6},       // E_PENDING: the completion still comes
        {"mbn fault set result 0x00000001", S_FALSE, false, 77},  // a success code, no completion
        {"mbn fault set result 0x00000002", 2, false, 77},
        {"mbn fault set response-size 0", S_OK, true, 0},         // an empty answer
    };
    for (const auto& c : cases) {
        Emu("mbn fault none");
        Emu(c.fault);
        BYTE bytes[] = {'A', 'T', '\r', '\n'};
        std::memset(response, 0xEE, sizeof(response));
        size = 77;
        HRESULT hr = E_FAIL;
        CaptureStdout([&] { hr = SetCommand(nullptr, kAtService, kAtCommand, 4, bytes, &size, response, 3000); });
        EXPECT_EQ(hr, c.expected) << c.fault;
        EXPECT_EQ(size, c.size) << c.fault;
        if (!c.outputsWritten || c.size == 0) {
            EXPECT_EQ(response[0], 0xEE) << c.fault << ": the buffer is left alone";
        } else {
            EXPECT_EQ(AsText(response, size), "\r\nOK\r\n") << c.fault;
        }
    }
}

TEST_F(MbnWrapper, ResponsesAndCommandListsLongerThanTheBuffersAreCutAtThem) {
    StartConnected();
    Emu("mbn fault set response-size 5000");
    std::vector<BYTE> response(MBN_RESPONSE_BUFFER_SIZE + 64, 0xEE);
    ULONG size = 0;
    BYTE at[] = {'a', 't'};
    HRESULT hr = E_FAIL;
    CaptureStdout([&] { hr = SetCommand(nullptr, kAtService, kAtCommand, 2, at, &size, response.data(), 3000); });
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(size, MBN_RESPONSE_BUFFER_SIZE);
    EXPECT_EQ(response[4095], 4095 & 0xFF);
    EXPECT_EQ(response[4096], 0xEE);

    Emu("mbn notify supported 5000");
    ASSERT_TRUE(Eventually([] {
        StateGuard guard;
        return g_SupportedCommandIDs[MBN_SUPPORTED_COMMANDS_SIZE - 1] == MBN_SUPPORTED_COMMANDS_SIZE;
    }));
    EXPECT_EQ(g_SupportedCommandIDs[0], 1u);
}

TEST_F(MbnWrapper, RemovalWithASessionOpenFreesItsRecordWhichShutDownDoesNotClose) {
    StartConnected();
    ASSERT_EQ(OpenCommandSession(kAtService), S_OK);
    TraceCapture trace;
    Emu("modem none");
    ASSERT_TRUE(Eventually([] { return !Connected(); }));
    EXPECT_TRUE(trace.Contains("[INFO] InterfaceAddRemoveEventCallback : Invalidate Open Sessions\n"));
    EXPECT_TRUE(trace.Contains("[INFO] CMbnSinks::OnInterfaceRemoval :    ***** MBIM Interface -> Removal\n"));
    EXPECT_TRUE(Eventually([] { return g_Requests.triggers.load() >= 1; }));
    EXPECT_FALSE(g_SessionTable[0].bInUse);
    EXPECT_TRUE(g_SessionTable[0].bSessionOpen);
    EXPECT_EQ(g_MbnDeviceServicesContext, nullptr);
    EXPECT_EQ(g_hOpenSessionEvent, nullptr);
    EXPECT_NE(g_hQueryCommandEvent, nullptr) << "the query event lives as long as the process";

    DeInitRegisterMBIMInterface();
    EXPECT_FALSE(trace.Contains("[INFO] DeInitRegisterMBIMInterface : Closing Open Sessions\n"));
}

TEST_F(MbnWrapper, ShutDownClosesExactlyTheRecordedOpenSessions) {
    StartConnected();
    ASSERT_EQ(OpenCommandSession(kAtService), S_OK);
    TraceCapture trace;
    Emu("journal clear");
    DeInitRegisterMBIMInterface();
    EXPECT_EQ(CountOf(trace, "[INFO] CloseCommandSession : CloseCommandSession call successful... waiting for callback\n"),
              1);
    EXPECT_TRUE(trace.Contains("[INFO] DeInitRegisterMBIMInterface : DisconnectInterface()\n"));
    const std::string journal = EmuRequest("journal");
    EXPECT_NE(journal.find("mbn close"), std::string::npos) << journal;
    EXPECT_NE(journal.find("mbn unadvise InterfaceManagerEvents"), std::string::npos) << journal;
}

TEST_F(MbnWrapper, NotificationsDuringAndAfterShutDownChangeNothing) {
    StartConnected();
    CMbnSinks* sink = g_CMbnSinks;
    std::atomic<bool> stop{false};
    std::thread notifier([&] {
        while (!stop) {
            EmuRequest("mbn notify ready");
        }
    });
    Sleep(50);
    DeInitRegisterMBIMInterface();
    stop = true;
    notifier.join();

    // A notification the API had already started reaches the taken-down sink: nothing happens.
    TraceCapture trace;
    g_CallbackStatus = S_OK;
    EXPECT_EQ(sink->OnInterfaceArrival(nullptr), S_OK);
    EXPECT_EQ(sink->OnSetCommandComplete(nullptr, 0, nullptr, E_FAIL, 0), S_OK);
    EXPECT_EQ(sink->OnReadyStateChange(nullptr), S_OK);
    EXPECT_FALSE(bInitialied);
    EXPECT_FALSE(Connected());
    EXPECT_EQ(g_CallbackStatus, S_OK);
    EXPECT_TRUE(trace.Texts().empty());
}

bool JournalSaysStuck() { return EmuRequest("journal").find("stuck") != std::string::npos; }

// The API may wait in Unadvise for notifications in progress, and may deliver a
// notification on another thread while a call into it still runs, waiting for that
// delivery before it returns. Every step must still finish within its time-outs: the
// module holds no lock of its own across a call into the API. It may also deliver, right
// after a request's own completion, a failed one of another kind with the same request ID
// while the caller wakes up: each request still reports its own.
TEST_F(MbnWrapper, EveryStepFinishesWhenTheApiWaitsForItsNotifications) {
    const std::vector<std::vector<std::string>> modes = {
        {"mbn fault unadvise wait"},
        {"mbn fault nested on"},
        {"mbn fault open late-foreign", "mbn fault set late-foreign", "mbn fault query late-foreign",
         "mbn fault close late-foreign"},
    };
    for (const std::vector<std::string>& mode : modes) {
        SCOPED_TRACE(mode.front());
        Emu("reset");
        for (const std::string& fault : mode) {
            Emu(fault);
        }
        Emu("modem 4g");
        const ULONGLONG start = GetTickCount64();
        ASSERT_EQ(InitRegisterMBIMInterface(), S_OK);
        EXPECT_TRUE(Eventually([] { return Connected(); }));
        Emu("modem both");  // an arrival while connected
        EXPECT_EQ(OpenCommandSession(kAtService), S_OK);
        std::string answer;
        EXPECT_EQ(SendAt("at+csus?\r\n", &answer), S_OK);
        EXPECT_NE(answer.find("+CSUS: 0"), std::string::npos);
        BYTE query[] = {'a', 't', '\r', '\n'};
        BYTE response[MBN_RESPONSE_BUFFER_SIZE] = {};
        ULONG size = 0;
        EXPECT_EQ(QueryCommand(nullptr, kAtService, kAtCommand, sizeof(query), query, &size, response), S_OK);
        EXPECT_EQ(AsText(response, size), "\r\nOK\r\n");
        EXPECT_EQ(CloseCommandSession(kAtService), TRUE);
        EXPECT_EQ(DisconnectInterface(), S_OK);
        EXPECT_EQ(ConnectInterface(kInterface4G), S_OK);
        // Notifications keep coming while the module shuts down.
        std::atomic<bool> stop{false};
        std::thread notifier([&] {
            while (!stop) {
                EmuRequest("mbn notify ready");
            }
        });
        DeInitRegisterMBIMInterface();
        stop = true;
        notifier.join();
        EXPECT_FALSE(JournalSaysStuck()) << EmuRequest("journal");
        // Each step waits at most 3 s for a completion; stuck ones would each add 10 s.
        EXPECT_LT(GetTickCount64() - start, 15000u);
    }
}

// A start, a connection, commands and a stop leave every reference as it was: the facade's
// objects are all released, and so is every reference on the sink.
TEST_F(MbnWrapper, AStartAndStopLeavesNoReferenceBehind) {
    const long baseline = FacadeObjects(MBN_FACADE_DLL);
    StartConnected();
    EXPECT_EQ(SendAt("at+csus?\r\n", nullptr), S_OK);
    CMbnSinks* sink = g_CMbnSinks;
    ASSERT_NE(sink, nullptr);
    EXPECT_GT(sink->CurrentRefCount(), 0) << "the API holds the sink while subscribed";
    // A notification under way across the shut-down, reaching the sink when the module lets
    // go of its interface: it must not leave one stored.
    Emu("mbn notify signal held");
    ASSERT_TRUE(Eventually([] { return EmuRequest("journal").find("mbn signal held") != std::string::npos; }));
    DeInitRegisterMBIMInterface();
    EXPECT_EQ(sink->CurrentRefCount(), 0) << "released exactly what was taken";
    EXPECT_TRUE(Eventually([baseline] { return FacadeObjects(MBN_FACADE_DLL) == baseline; }))
        << FacadeObjects(MBN_FACADE_DLL) << " facade objects alive, " << baseline << " before";
}

TEST_F(MbnWrapper, TheSinkAnswersItsEightInterfacesAndOnlyCounts) {
    StartConnected();
    CMbnSinks* sink = g_CMbnSinks;
    void* part = reinterpret_cast<void*>(1);
    EXPECT_EQ(sink->QueryInterface(IID_IMbnSignal, &part), E_NOINTERFACE);
    EXPECT_EQ(part, nullptr);
    EXPECT_EQ(sink->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    for (const IID* iid : {&IID_IUnknown, &IID_IMbnRadioEvents, &IID_IMbnRegistrationEvents, &IID_IMbnSignalEvents,
                           &IID_IMbnInterfaceEvents, &IID_IMbnInterfaceManagerEvents, &IID_IMbnConnectionManagerEvents,
                           &IID_IMbnConnectionEvents, &IID_IMbnDeviceServicesEvents}) {
        IUnknown* unknown = nullptr;
        ASSERT_EQ(sink->QueryInterface(*iid, reinterpret_cast<void**>(&unknown)), S_OK);
        ASSERT_NE(unknown, nullptr);
        unknown->Release();
    }
    // Released down to zero and beyond, it still answers.
    while (static_cast<LONG>(sink->Release()) > 0) {
    }
    EXPECT_EQ(sink->AddRef(), 1u);

    // A completion that no request awaits stores its status in the shared slot and signals
    // nothing.
    ResetEvent(g_hCloseSessionEvent);
    sink->OnCloseCommandSessionComplete(nullptr, static_cast<HRESULT>(0x80004001), 7);
    {
        StateGuard guard;
        EXPECT_EQ(g_CallbackStatus, static_cast<HRESULT>(0x80004001));
    }
    EXPECT_EQ(WaitForSingleObject(g_hCloseSessionEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(MbnWrapper, StateQueriesBeforeAndAfterConnecting) {
    MBN_RADIO software = MBN_RADIO_ON;
    MBN_RADIO hardware = MBN_RADIO_ON;
    EXPECT_EQ(GetRadioState(kInterface4G, &software, &hardware), S_OK);
    EXPECT_EQ(software, MBN_RADIO_OFF);
    EXPECT_EQ(hardware, MBN_RADIO_OFF);
    TraceCapture trace;
    MBN_REGISTER_STATE registerState = MBN_REGISTER_STATE_DENIED;
    EXPECT_EQ(GetRegisterState(nullptr, &registerState), E_FAIL);
    EXPECT_TRUE(trace.Contains("[INFO] GetRegisterState : g_MbnRegistration is NULL. hr: 0x80004005\n"));
    MBN_ACTIVATION_STATE activation = static_cast<MBN_ACTIVATION_STATE>(99);
    EXPECT_EQ(GetConnectionState(kInterface4G, &activation), S_OK);
    EXPECT_EQ(activation, static_cast<MBN_ACTIVATION_STATE>(99));

    StartConnected();
    Emu("mbn radio 1 0");
    EXPECT_EQ(GetRadioState(kInterface4G, &software, &hardware), S_OK);
    EXPECT_EQ(software, MBN_RADIO_ON);
    EXPECT_EQ(hardware, MBN_RADIO_OFF);
    wchar_t unknown[] = L"{00000000-1111-2222-3333-444444444444}";
    EXPECT_EQ(GetRadioState(unknown, &software, &hardware), static_cast<HRESULT>(0x80070490));
    EXPECT_TRUE(trace.Contains("[INFO] GetRadioState : GetInterface FAILED\n"));

    Emu("mbn register 4");
    EXPECT_EQ(GetRegisterState(nullptr, &registerState), S_OK);
    EXPECT_EQ(registerState, MBN_REGISTER_STATE_ROAMING);
    EXPECT_EQ(GetConnectionState(kInterface4G, &activation), S_OK);
    EXPECT_EQ(activation, MBN_ACTIVATION_STATE_DEACTIVATED);

    activation = static_cast<MBN_ACTIVATION_STATE>(99);
    Emu("mbn fault connection pending-null");
    EXPECT_EQ(GetConnectionState(kInterface4G, &activation), E_PENDING);
    EXPECT_EQ(activation, static_cast<MBN_ACTIVATION_STATE>(99));
    Emu("mbn fault connection 0x80004005");
    EXPECT_EQ(GetConnectionState(kInterface4G, &activation), E_FAIL);
    EXPECT_TRUE(trace.Contains("[INFO] GetConnectionState : GetConnection FAILED: " + Hex(E_FAIL) + "\n"));
}

}  // namespace
