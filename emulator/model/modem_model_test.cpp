#include "emulator/model/modem_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace emu {
namespace {

std::string Reply(ModemModel& model, const std::string& request) { return model.Handle(request); }

bool JournalHas(const ModemModel& model, const std::string& text) {
    for (const std::string& entry : model.Journal()) {
        if (entry.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

struct AtCase {
    const char* modem;
    const char* command;
    const char* response;
};

class AtResponderTest : public ::testing::TestWithParam<AtCase> {};

TEST_P(AtResponderTest, AnswersLikeTheModemOfThatPlatform) {
    ModemModel model;
    ASSERT_EQ(model.ApplyScenario(std::string("modem ") + GetParam().modem + "\nslot 2\n"), "ok");
    const AtReply reply = model.HandleSetCommand(1, GetParam().command);
    EXPECT_FALSE(reply.Silent);
    EXPECT_EQ(reply.Status, 0u);
    EXPECT_EQ(reply.Response, GetParam().response);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, AtResponderTest,
    ::testing::Values(AtCase{"4g", "AT+XSIMPOWER=0,1\r\n", "\r\nOK\r\n"},
                      AtCase{"4g", "AT+XSIMPOWER=1,1\r\n", "\r\nOK\r\n"},
                      AtCase{"4g", "at+csus?\r\n", "\r\n+CSUS: 1\r\n\r\nOK\r\n"},
                      AtCase{"4g", "AT+ESIMPOWER=0,1\r\n", "\r\nERROR\r\n"},
                      AtCase{"4g", "at+esimmap?\r\n", "\r\nERROR\r\n"},
                      AtCase{"5g", "AT+ESIMPOWER=0,1\r\n", "\r\nOK\r\n"},
                      AtCase{"5g", "at+esimmap?\r\n", "\r\n+ESIMMAP: 2\r\n\r\nOK\r\n"},
                      AtCase{"5g", "AT+XSIMPOWER=0,1\r\n", "\r\nERROR\r\n"},
                      AtCase{"both", "at+esimmap?\r\n", "\r\n+ESIMMAP: 2\r\n\r\nOK\r\n"},
                      AtCase{"4g", "ATZ\r\n", "\r\nERROR\r\n"}));

TEST(ModemModel, PoweringTheSimOffChangesWhatTheModemReportsAndRaisesAnUpdate) {
    ModemModel model;
    model.Handle("modem 4g");
    EXPECT_EQ(model.NetworkDeviceStatus(), STATUS_DEVICE_READY);
    const std::string before = model.Handle("rt events 0 0");

    model.HandleSetCommand(1, "AT+XSIMPOWER=0,1\r\n");
    EXPECT_EQ(model.NetworkDeviceStatus(), STATUS_SIM_NOT_INSERTED);
    EXPECT_EQ(Reply(model, "rt status"), "ok 2");
    const std::string events = model.Handle("rt events 2 0");
    EXPECT_NE(events.find(" updated account-4g 1 0"), std::string::npos) << events;

    model.HandleSetCommand(1, "AT+XSIMPOWER=1,1\r\n");
    EXPECT_EQ(model.NetworkDeviceStatus(), STATUS_DEVICE_READY);
    EXPECT_NE(before, model.Handle("rt events 0 0"));
}

TEST(ModemModel, JournalsEachPayloadByteForByte) {
    ModemModel model;
    model.Handle("modem 4g");
    EXPECT_EQ(Reply(model, "rt open"), "ok 1");
    EXPECT_EQ(Reply(model, "rt set 1 1 41542B5853494D504F5745523D302C310D0A"), "ok 0 0 0D0A4F4B0D0A");
    model.HandleSetCommand(1, std::string("A\0\xff", 3));
    EXPECT_TRUE(JournalHas(model, "session 1 open"));
    EXPECT_TRUE(JournalHas(model, "at cmd=1 len=18 \"AT+XSIMPOWER=0,1\\r\\n\""));
    EXPECT_TRUE(JournalHas(model, "at cmd=1 len=3 \"A\\x00\\xFF\""));
    for (const std::string& entry : model.Journal()) {
        EXPECT_EQ(entry[0], '+') << "every entry carries its time";
    }
}

TEST(ModemModel, InjectedFaultsShapeTheReply) {
    ModemModel model;
    model.Handle("modem 5g");
    model.Handle("fault delay 1500");
    AtReply reply = model.HandleSetCommand(1, "at+esimmap?\r\n");
    EXPECT_EQ(reply.DelayMs, 1500u);
    model.Handle("fault answer error");
    EXPECT_EQ(model.HandleSetCommand(1, "at+esimmap?\r\n").Response, "\r\nERROR\r\n");
    model.Handle("fault answer cme 10");
    EXPECT_EQ(model.HandleSetCommand(1, "at+esimmap?\r\n").Response, "\r\n+CME ERROR: 10\r\n");
    model.Handle("fault status 5");
    reply = model.HandleSetCommand(1, "at+esimmap?\r\n");
    EXPECT_EQ(reply.Status, 5u);
    EXPECT_TRUE(reply.Response.empty());
    model.Handle("fault silent on");
    EXPECT_EQ(Reply(model, "rt set 1 1 4154"), "ok silent");
    model.Handle("fault service missing");
    EXPECT_EQ(Reply(model, "rt service {DA138C64-6515-4893-92B2-A1E1CA7C81CA}"), "error: no such device service");
    EXPECT_EQ(Reply(model, "rt open"), "error: no device service");
    EXPECT_EQ(Reply(model, "fault enumeration after 300"), "ok");
    EXPECT_EQ(Reply(model, "rt watcher start").rfind("ok after 300 ", 0), 0u);
    EXPECT_EQ(Reply(model, "fault enumeration after"), "error: fault enumeration takes complete, never, abort or after MS");
    model.Handle("fault none");
    EXPECT_EQ(Reply(model, "rt watcher start").rfind("ok complete ", 0), 0u);
    EXPECT_EQ(Reply(model, "rt service {da138c64-6515-4893-92b2-a1e1ca7c81ca}"), "ok");
    EXPECT_EQ(model.HandleSetCommand(1, "at+esimmap?\r\n").Response, "\r\n+ESIMMAP: 1\r\n\r\nOK\r\n");
}

TEST(ModemModel, DeniedCallsAnswerAccessDeniedUntilCleared) {
    ModemModel model;
    model.Handle("modem 4g");
    EXPECT_EQ(Reply(model, "fault denied default set"), "ok");
    EXPECT_EQ(Reply(model, "rt default"), "ok fail 0x80070005");
    EXPECT_EQ(Reply(model, "rt open"), "ok 1") << "only the calls named are refused";
    EXPECT_EQ(Reply(model, "rt set 1 1 4154"), "ok fail 0x80070005");
    EXPECT_FALSE(JournalHas(model, "at cmd=")) << "a refused command never reaches the modem";
    EXPECT_EQ(Reply(model, "rt activate watcher"), "ok");
    EXPECT_EQ(Reply(model, "fault denied all"), "ok");
    EXPECT_EQ(Reply(model, "rt open"), "ok fail 0x80070005");
    EXPECT_EQ(Reply(model, "rt activate watcher"), "ok fail 0x80070005");
    EXPECT_EQ(Reply(model, "rt activate watcher"), "ok fail 0x80070005") << "refused for good, not once";
    EXPECT_EQ(Reply(model, "rt activate modem"), "ok");
    for (const char* entry : {"default modem denied", "session 1 set denied", "session denied", "activation watcher denied"}) {
        EXPECT_TRUE(JournalHas(model, entry)) << entry;
    }
    EXPECT_EQ(Reply(model, "fault denied modem"), "error: fault denied takes default, session, set, watcher or all");
    model.Handle("fault none");
    EXPECT_EQ(Reply(model, "rt default"), "ok 4g");
    EXPECT_EQ(Reply(model, "rt activate watcher"), "ok");
}

// A restart of the mobile broadband service: the watcher's abort is raised, every Runtime
// call answers RPC_S_SERVER_UNAVAILABLE for the down time, and once it is over the service
// has a new life and the interfaces arrive again. A restart during the down time starts it
// again.
TEST(ModemModel, AServiceRestartRefusesCallsForItsDownTimeThenTheInterfacesArrive) {
    ModemModel model;
    model.Handle("modem 4g");
    EXPECT_EQ(Reply(model, "service life"), "ok 1 up");
    EXPECT_EQ(Reply(model, "service restart 60000"), "ok");
    EXPECT_EQ(Reply(model, "service life"), "ok 2 down");
    for (const char* call : {"rt default", "rt status", "rt activate watcher", "rt open", "rt watcher start",
                             "rt set 1 1 4154", "rt service {DA138C64-6515-4893-92B2-A1E1CA7C81CA}"}) {
        EXPECT_EQ(Reply(model, call), "ok fail 0x800706BA") << call;
    }
    EXPECT_FALSE(JournalHas(model, "at cmd=")) << "nothing reaches the modem";
    EXPECT_EQ(Reply(model, "service restart 0"), "ok") << "a second restart while down";
    EXPECT_EQ(Reply(model, "service life"), "ok 3 up");
    EXPECT_EQ(Reply(model, "rt default"), "ok 4g");
    const std::string events = Reply(model, "rt events 0 0");
    EXPECT_NE(events.find("service-stopped"), std::string::npos) << events;
    EXPECT_NE(events.find(std::string("mbn-arrival ") + MBN_INTERFACE_4G), std::string::npos) << events;
    for (const char* entry : {"service restart: down for 60000 ms, the account watcher aborts",
                              "service down: rt default answered 0x800706BA", "service up: 1 interfaces arrive"}) {
        EXPECT_TRUE(JournalHas(model, entry)) << entry;
    }
    EXPECT_EQ(Reply(model, "service restart"), "error: service takes restart MS or life");
}

TEST(ModemModel, NetshFailsInTheConsolesCodePageOrCutsItsTableOnRequest) {
    ModemModel model;
    model.Handle("netsh error-cp932");
    EXPECT_EQ(Reply(model, "netsh slotmapping").substr(0, 13), "ok error\n\x83\x47\x83\x89");
    model.Handle("netsh error-cp936");
    const std::string reply = Reply(model, "netsh slotmapping");
    EXPECT_EQ(reply.substr(0, 13), "ok error\n\xB4\xED\xCE\xF3");
    EXPECT_EQ(reply.find(std::string(37, '-')), std::string::npos) << "no slot table";
    EXPECT_EQ(Reply(model, "netsh error-cp1252"),
              "error: netsh takes table, error, error-cp932, error-cp936, empty, hang or truncated");
    model.Handle("modem 4g");
    model.Handle("netsh truncated");
    const std::string separator = std::string(37, '-') + "\r\n";
    const std::string cut = Reply(model, "netsh slotmapping");
    EXPECT_EQ(cut.rfind(separator), cut.size() - separator.size()) << "the table ends right after its separator";
}

TEST(ModemModel, EveryShippedScenarioApplies) {
    const std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path().parent_path() / "scenarios";
    int applied = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".scn") {
            continue;
        }
        std::ifstream file(entry.path());
        std::stringstream text;
        text << file.rdbuf();
        ModemModel model;
        EXPECT_EQ(model.ApplyScenario(text.str()), "ok") << entry.path();
        ++applied;
    }
    EXPECT_GE(applied, 5) << dir;
}

TEST(ModemModel, ScenariosAreReadableAndErrorsNameTheLine) {
    ModemModel model;
    EXPECT_EQ(model.ApplyScenario("# a 4G laptop\nmodem 4g   # USB\n\nsim ready\nslot 1\n"), "ok");
    EXPECT_EQ(model.Handle("state").rfind("ok modem=4g sim=ready status=1 slot=1", 0), 0u);
    EXPECT_EQ(model.ApplyScenario("modem 4g\nslot 3\n"), "error: line 2: unknown request 'slot'");
    EXPECT_EQ(model.ApplyScenario("fault answer maybe"), "error: line 1: unknown fault; see emulator/README.md");
    EXPECT_EQ(model.Handle("rt set 1 1 4G"), "error: rt set takes SESSION COMMAND HEX");
    EXPECT_EQ(model.Handle("reset"), "ok");
    EXPECT_EQ(model.Handle("journal"), "ok 0");
}

// ---------------------------------------------------------------------------------------
// Mobile Broadband COM requests.

const std::string k4G = MBN_INTERFACE_4G;
const std::string k5G = MBN_INTERFACE_5G;
const std::string kAt = "{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";

// Opens the AT service's command session on `id` as the facade does: the request, then its
// completion.
void OpenSession(ModemModel& model, const std::string& id) {
    ASSERT_EQ(model.Handle("mbn rt open " + id + " " + kAt + " 90").rfind("ok 0x00000000 ", 0), 0u);
    ASSERT_EQ(model.Handle("mbn rt complete open " + id + " " + kAt + " 90 0"), "ok");
}

struct RequestCase {
    const char* presence;
    const char* request;
    const char* reply;
};

class MbnInterfaceRequests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(MbnInterfaceRequests, AnswerFromThePresentModems) {
    ModemModel model;
    ASSERT_EQ(model.Handle(std::string("modem ") + GetParam().presence), "ok");
    EXPECT_EQ(model.Handle(GetParam().request), GetParam().reply) << GetParam().request;
}

INSTANTIATE_TEST_SUITE_P(
    Presence, MbnInterfaceRequests,
    ::testing::Values(
        RequestCase{"none", "mbn rt interfaces", "ok"},
        RequestCase{"4g", "mbn rt interfaces", "ok {5A3E0AC9-0000-4000-8000-00000000004A}"},
        RequestCase{"5g", "mbn rt interfaces", "ok {14C34D75-0000-4000-8000-00000000005A}"},
        RequestCase{"both", "mbn rt interfaces",
                    "ok {5A3E0AC9-0000-4000-8000-00000000004A} {14C34D75-0000-4000-8000-00000000005A}"},
        // ready, software radio, hardware radio, register state, signal, activation
        RequestCase{"4g", "mbn rt interface {5a3e0ac9-0000-4000-8000-00000000004a}", "ok 1 1 1 3 20 3"},
        RequestCase{"4g", "mbn rt interface {14C34D75-0000-4000-8000-00000000005A}", "error: no such interface"},
        RequestCase{"none", "mbn rt interface {5A3E0AC9-0000-4000-8000-00000000004A}", "error: no such interface"},
        RequestCase{"5g", "mbn rt connection {14C34D75-0000-4000-8000-00000000005A}", "ok"},
        RequestCase{"5g", "mbn rt connection {00000000-0000-0000-0000-000000000000}", "error: no such interface"},
        RequestCase{"5g", "mbn rt context {14C34D75-0000-4000-8000-00000000005A}", "ok"},
        RequestCase{"5g", "mbn rt service {14C34D75-0000-4000-8000-00000000005A} {da138c64-6515-4893-92b2-a1e1ca7c81ca}",
                    "ok"},
        RequestCase{"5g", "mbn rt service {14C34D75-0000-4000-8000-00000000005A} {00000000-6515-4893-92B2-A1E1CA7C81CA}",
                    "error: no such device service"},
        RequestCase{"5g", "mbn rt session {14C34D75-0000-4000-8000-00000000005A} {DA138C64-6515-4893-92B2-A1E1CA7C81CA}",
                    "ok 0"},
        RequestCase{"4g", "mbn rt find DeviceServicesEvents", "ok"},
        RequestCase{"4g", "mbn rt find PinEvents", "error: no such event interface"},
        RequestCase{"4g", "mbn rt open {5A3E0AC9-0000-4000-8000-00000000004A} {DA138C64-6515-4893-92B2-A1E1CA7C81CA} x",
                    "error: mbn rt open takes INTERFACE SERVICE REQUEST_ID"},
        RequestCase{"4g", "mbn rt set {5A3E0AC9-0000-4000-8000-00000000004A} {DA138C64-6515-4893-92B2-A1E1CA7C81CA} 1 1 4",
                    "error: mbn rt set takes INTERFACE SERVICE REQUEST_ID COMMAND [HEX]"},
        RequestCase{"none", "mbn rt open {5A3E0AC9-0000-4000-8000-00000000004A} {DA138C64-6515-4893-92B2-A1E1CA7C81CA} 1",
                    "error: no such interface"}));

TEST(MbnModel, CommandSessionsOpenAndCloseOnSuccessfulCompletions) {
    ModemModel model;
    model.Handle("modem both");
    const std::string session = "mbn rt session " + k4G + " " + kAt;
    const std::string set = "mbn rt set " + k4G + " " + kAt + " 3 1 " + ToHex("at+csus?\r\n");
    EXPECT_EQ(model.Handle(set), "ok 0x8007139F never 0x00000000 3") << "no session yet";
    EXPECT_FALSE(JournalHas(model, "at cmd=")) << "a refused command never reaches the modem";
    EXPECT_TRUE(JournalHas(model, "mbn set id=3 cmd=1 len=10 result=0x8007139F"));

    EXPECT_EQ(model.Handle("mbn rt open " + k4G + " " + kAt + " 4"), "ok 0x00000000 0 0x00000000 4");
    EXPECT_EQ(model.Handle(session), "ok 0") << "open only once it completed";
    EXPECT_EQ(model.Handle("mbn rt complete open " + k4G + " " + kAt + " 4 0x80004005"), "ok");
    EXPECT_EQ(model.Handle(session), "ok 0") << "a failed completion opens nothing";
    EXPECT_EQ(model.Handle("mbn rt complete open " + k4G + " " + kAt + " 4 0"), "ok");
    EXPECT_EQ(model.Handle(session), "ok 1");
    EXPECT_EQ(model.Handle("mbn rt session " + k5G + " " + kAt), "ok 0") << "sessions are per interface";

    // Each interface answers as its own modem.
    EXPECT_EQ(model.Handle(set), "ok 0x00000000 0 0x00000000 3 " + ToHex("\r\n+CSUS: 0\r\n\r\nOK\r\n"));
    EXPECT_EQ(model.Handle("mbn rt query " + k4G + " " + kAt + " 5 1 " + ToHex("at+esimmap?\r\n")),
              "ok 0x00000000 0 0x00000000 5 " + ToHex("\r\nERROR\r\n"));
    EXPECT_TRUE(JournalHas(model, "mbn open id=4 service=" + kAt));
    EXPECT_TRUE(JournalHas(model, "mbn complete open id=4 status=0x80004005"));
    EXPECT_TRUE(JournalHas(model, "mbn set id=3 at cmd=1 len=10 \"at+csus?\\r\\n\""));
    EXPECT_TRUE(JournalHas(model, "mbn query id=5 at cmd=1 len=13 \"at+esimmap?\\r\\n\""));

    model.Handle("mbn rt close " + k4G + " " + kAt + " 6");
    model.Handle("mbn rt complete close " + k4G + " " + kAt + " 6 0");
    EXPECT_EQ(model.Handle(session), "ok 0");
    OpenSession(model, k4G);
    model.Handle("modem 5g");
    model.Handle("modem both");
    EXPECT_EQ(model.Handle(session), "ok 0") << "a modem that went took its sessions";

    model.Handle("fault service missing");
    EXPECT_EQ(model.Handle(session), "error: no such device service");
    EXPECT_EQ(model.Handle("mbn rt open " + k4G + " " + kAt + " 7"), "error: no such device service");
}

struct FaultCase {
    const char* fault;
    const char* request;  // open or set
    const char* reply;    // after "ok "
};

class MbnRequestFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MbnRequestFaults, ShapeWhatTheFacadeDoes) {
    ModemModel model;
    const auto setUp = [&] {
        model.Handle("fault none");
        model.Handle("modem 4g");
        OpenSession(model, k4G);
        ASSERT_EQ(model.ApplyScenario(GetParam().fault), "ok");
    };
    setUp();
    const std::string request = GetParam().request == std::string("open")
                                    ? "mbn rt open " + k4G + " " + kAt + " 7"
                                    : "mbn rt set " + k4G + " " + kAt + " 7 1 " + ToHex("AT\r\n");
    EXPECT_EQ(model.Handle(request), std::string("ok ") + GetParam().reply) << GetParam().fault;
    // Each way to clear the fault; "mbn fault none" leaves the modem's own faults alone.
    const bool modemFault = std::string(GetParam().fault).rfind("fault ", 0) == 0;
    for (const char* clear : {"mbn fault none", "fault none", "reset"}) {
        setUp();
        model.Handle(clear);
        if (clear == std::string("reset")) {
            model.Handle("modem 4g");
            OpenSession(model, k4G);
        }
        const std::string after = model.Handle(request);
        const bool cleared =
            after == "ok 0x00000000 0 0x00000000 7" || after == "ok 0x00000000 0 0x00000000 7 0D0A4F4B0D0A";
        EXPECT_EQ(cleared, !(modemFault && clear == std::string("mbn fault none")))
            << clear << " after " << GetParam().fault << ": " << after;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MbnRequestFaults,
    ::testing::Values(
        FaultCase{"", "open", "0x00000000 0 0x00000000 7"},
        FaultCase{"", "set", "0x00000000 0 0x00000000 7 0D0A4F4B0D0A"},
        FaultCase{"mbn fault open delay 250", "open", "0x00000000 250 0x00000000 7"},
        FaultCase{"mbn fault open delay never", "open", "0x00000000 never 0x00000000 7"},
        FaultCase{"mbn fault open delay 250\nmbn fault open delay normal", "open", "0x00000000 0 0x00000000 7"},
        FaultCase{"mbn fault open early", "open", "0x00000000 early 0x00000000 7"},
        FaultCase{"mbn fault open status 0x80004005", "open", "0x00000000 0 0x80004005 7"},
        FaultCase{"mbn fault open result 8000000a", "open", "0x8000000A 0 0x00000000 7"},
        FaultCase{"mbn fault open result 0x80070005", "open", "0x80070005 never 0x00000000 7"},
        FaultCase{"mbn fault open result 1", "open", "0x00000001 never 0x00000000 7"},
        FaultCase{"mbn fault open requestid foreign", "open", "0x00000000 0 0x00000000 1007"},
        FaultCase{"mbn fault close delay never", "open", "0x00000000 0 0x00000000 7"},
        FaultCase{"mbn fault set response-size 5", "set", "0x00000000 0 0x00000000 7 0001020304"},
        FaultCase{"mbn fault set response-size 0", "set", "0x00000000 0 0x00000000 7"},
        FaultCase{"mbn fault set status 0x80004005", "set", "0x00000000 0 0x80004005 7 0D0A4F4B0D0A"},
        FaultCase{"mbn fault set delay never", "set", "0x00000000 never 0x00000000 7 0D0A4F4B0D0A"},
        FaultCase{"mbn fault set result 0x80004005", "set", "0x80004005 never 0x00000000 7"},
        FaultCase{"mbn fault query early", "set", "0x00000000 0 0x00000000 7 0D0A4F4B0D0A"},
        FaultCase{"mbn fault set early-foreign", "set", "0x00000000 early-foreign 0x00000000 7 0D0A4F4B0D0A"},
        FaultCase{"mbn fault set early-stale 4", "set", "0x00000000 early-stale-4 0x00000000 7 0D0A4F4B0D0A"},
        FaultCase{"mbn fault open late-foreign", "open", "0x00000000 late-foreign 0x00000000 7"},
        // The modem's own faults reach this path too.
        FaultCase{"fault delay 300", "set", "0x00000000 300 0x00000000 7 0D0A4F4B0D0A"},
        FaultCase{"fault silent on", "set", "0x00000000 never 0x00000000 7"},
        FaultCase{"fault silent on\nmbn fault set delay 5", "set", "0x00000000 5 0x00000000 7"},
        FaultCase{"fault answer error", "set", "0x00000000 0 0x00000000 7 0D0A4552524F520D0A"}));

TEST(MbnModel, ConnectionPointAndObjectFaults) {
    ModemModel model;
    model.Handle("modem 5g");
    const std::string session = "mbn rt session " + k5G + " " + kAt;
    const std::pair<std::string, std::pair<std::string, std::string>> table[] = {
        {"mbn fault cp SignalEvents find 0x80040200", {"mbn rt find SignalEvents", "ok fail 0x80040200"}},
        {"mbn fault cp SignalEvents find null", {"mbn rt find SignalEvents", "ok null"}},
        {"mbn fault cp SignalEvents find null", {"mbn rt find RadioEvents", "ok"}},
        {"mbn fault cp RadioEvents advise 80004005", {"mbn rt advise RadioEvents", "ok fail 0x80004005"}},
        {"mbn fault cp RadioEvents advise 80004005", {"mbn rt find RadioEvents", "ok"}},
        {"mbn fault sessionstate 0x8007001F", {session, "ok fail 0x8007001F"}},
        {"mbn fault context 0x80070015", {"mbn rt context " + k5G, "ok fail 0x80070015"}},
        {"mbn fault connection 0x80004005", {"mbn rt connection " + k5G, "ok fail 0x80004005"}},
        {"mbn fault connection pending-null", {"mbn rt connection " + k5G, "ok pending-null"}},
        {"mbn fault signal missing", {"mbn rt signal", "ok missing"}},
        {"mbn fault requestids 0", {"mbn rt requestid 7", "ok 0"}},
    };
    for (const auto& [fault, check] : table) {
        ASSERT_EQ(model.Handle(fault), "ok") << fault;
        EXPECT_EQ(model.Handle(check.first), check.second) << fault;
        model.Handle("reset");
        model.Handle("modem 5g");
        EXPECT_EQ(model.Handle(check.first).find("fail"), std::string::npos) << "reset clears " << fault;
        EXPECT_EQ(model.Handle(check.first).find("null"), std::string::npos) << "reset clears " << fault;
    }
    EXPECT_EQ(model.Handle("mbn rt advise RadioEvents"), "ok");
    model.Handle("mbn fault cp RadioEvents advise 80004005");
    model.Handle("mbn rt advise RadioEvents");
    model.Handle("mbn fault cp RadioEvents advise none");
    EXPECT_EQ(model.Handle("mbn rt advise RadioEvents"), "ok");
    model.Handle("mbn rt unadvise RadioEvents");
    EXPECT_TRUE(JournalHas(model, "mbn advise RadioEvents failed 0x80004005"));
    EXPECT_TRUE(JournalHas(model, "mbn unadvise RadioEvents"));
}

TEST(MbnModel, FaultRequestsAreChecked) {
    ModemModel model;
    for (const char* bad : {"mbn fault cp PinEvents find 1", "mbn fault cp SignalEvents find", "mbn fault cp SignalEvents find 123456789",
                            "mbn fault cp SignalEvents advise null", "mbn fault cp SignalEvents lose 1",
                            "mbn fault open response-size 3", "mbn fault set delay soon", "mbn fault set status xyz",
                            "mbn fault set requestid other", "mbn fault set early now", "mbn fault write delay 1",
                            "mbn fault context", "mbn fault connection maybe", "mbn fault sessionstate 0xZZ", "mbn fault"}) {
        EXPECT_EQ(model.Handle(bad).rfind("error: ", 0), 0u) << bad;
    }
    for (const char* good : {"mbn fault cp InterfaceManagerEvents find none", "mbn fault cp ConnectionEvents advise 0x1",
                             "mbn fault close result 0", "mbn fault query requestid own", "mbn fault sessionstate none",
                             "mbn fault context none", "mbn fault connection none"}) {
        EXPECT_EQ(model.Handle(good), "ok") << good;
    }
}

}  // namespace
}  // namespace emu
