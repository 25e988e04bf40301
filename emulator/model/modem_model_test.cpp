#include "emulator/model/modem_model.h"

#include <gtest/gtest.h>

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
    model.Handle("fault none");
    EXPECT_EQ(Reply(model, "rt service {da138c64-6515-4893-92b2-a1e1ca7c81ca}"), "ok");
    EXPECT_EQ(model.HandleSetCommand(1, "at+esimmap?\r\n").Response, "\r\n+ESIMMAP: 1\r\n\r\nOK\r\n");
}

TEST(ModemModel, NoModemMeansNoDefaultModem) {
    ModemModel model;
    EXPECT_EQ(Reply(model, "rt default"), "ok none");
    EXPECT_EQ(Reply(model, "rt status"), "error: no modem");
    model.Handle("modem both");
    EXPECT_EQ(Reply(model, "rt default"), "ok 5g");
}

TEST(ModemModel, NetshPrintsTheSlotMappingAsScripted) {
    ModemModel model;
    model.ApplyScenario("modem 4g\nslot 2");
    const std::string table = model.Handle("netsh slotmapping");
    const std::string separator = std::string(37, '-') + "\r\n";
    ASSERT_EQ(table.rfind("ok table\n", 0), 0u) << table;
    const std::size_t at = table.find(separator);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(table[at + separator.size()], '1') << "slot 2 is index 1";
    EXPECT_TRUE(JournalHas(model, "netsh mbn show slotmapping *"));

    model.Handle("netsh error");
    EXPECT_EQ(model.Handle("netsh slotmapping"), "ok error\nFailed to access the interface: error\r\n");
    model.Handle("netsh empty");
    EXPECT_EQ(model.Handle("netsh slotmapping"), "ok empty\n");
    model.Handle("netsh hang");
    EXPECT_EQ(model.Handle("netsh slotmapping").rfind("ok hang\n", 0), 0u);
}

TEST(ModemModel, WatcherEnumeratesPresentAccountsAndDeliversLaterEvents) {
    ModemModel model;
    model.Handle("modem 4g");  // events 1 (interface arrival) and 2 (account added)
    EXPECT_EQ(Reply(model, "rt watcher start"), "ok complete 2 account-4g");
    model.Handle("fault enumeration never");
    EXPECT_EQ(Reply(model, "rt watcher start").rfind("ok never", 0), 0u);

    std::string delivered;
    std::thread poller([&] { delivered = model.Handle("rt events 2 5000"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    model.Handle("event updated account-4g device network");
    poller.join();
    EXPECT_EQ(delivered, "ok\n3 updated account-4g 1 1");
}

TEST(ModemModel, ModemsAppearAmongOtherNetworkAdapters) {
    ModemModel model;
    const std::string none = model.Handle("rt interfaces");
    EXPECT_EQ(none.find("VID_5A3E"), std::string::npos);
    EXPECT_NE(none.find("VEN_8086"), std::string::npos) << "other adapters are always there";

    model.Handle("modem both");
    const std::string both = model.Handle("rt interfaces");
    const std::string modem4G = "\\\\?\\USB#VID_5A3E&PID_0AC9&MI_00#6&1a2b3c4d&0&0000#{cac88484-7515-4c03-82e6-71a87abac361}";
    EXPECT_NE(both.find("\n" + modem4G), std::string::npos) << both;
    EXPECT_NE(both.find("PCI#VEN_14C3&DEV_4D75"), std::string::npos);
    EXPECT_EQ(Reply(model, "rt instance " + modem4G), "ok USB\\VID_5A3E&PID_0AC9&MI_00\\6&1a2b3c4d&0&0000");
    EXPECT_EQ(Reply(model, "driver 4g 9.9.9.9"), "ok");
    EXPECT_EQ(Reply(model, "rt driver USB\\VID_5A3E&PID_0AC9&MI_00\\6&1a2b3c4d&0&0000"), "ok 9.9.9.9");
    EXPECT_EQ(Reply(model, "rt instance \\\\?\\nothing"), "error: no such interface");

    // Going away: the interface's removal comes before the account's.
    const std::string removed = model.Handle("modem 5g"), events = model.Handle("rt events 4 0");
    EXPECT_EQ(removed, "ok");
    EXPECT_EQ(events, "ok\n5 removal " + modem4G + " 0 0\n6 removed account-4g 0 0");

    model.Handle("adapter add VPN0");
    EXPECT_NE(model.Handle("rt interfaces").find("ROOT#NET#VPN0#"), std::string::npos);
    model.Handle("adapter remove VPN0");
    const std::string adapterEvents = model.Handle("rt events 6 0");
    EXPECT_NE(adapterEvents.find("7 arrival \\\\?\\ROOT#NET#VPN0#"), std::string::npos) << adapterEvents;
    EXPECT_NE(adapterEvents.find("8 removal \\\\?\\ROOT#NET#VPN0#"), std::string::npos);
}

TEST(ModemModel, NotesMarkTheJournal) {
    ModemModel model;
    EXPECT_EQ(Reply(model, "note eject posted"), "ok");
    EXPECT_TRUE(JournalHas(model, "note eject posted"));
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

}  // namespace
}  // namespace emu
