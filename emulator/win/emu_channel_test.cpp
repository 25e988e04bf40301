// The emulator's control channel under Wine: with a server running, every request is
// answered, however many clients come at once; without one, requests fail at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "emulator/win/emu_channel.h"
#include "tests/support/win/emulator_process.h"
#include "tests/support/win/eventually.h"

namespace {

class EmuChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(s_Emulator.Start()); }
    static void TearDownTestSuite() { s_Emulator.Stop(); }
    static EmulatorProcess s_Emulator;
};
EmulatorProcess EmuChannelTest::s_Emulator;

// Clients that come all at once, as the facades' threads and the tests do: every request
// is answered, none is dropped, and none waits for ever.
TEST_F(EmuChannelTest, ManyClientsAtOnceAreAllAnswered) {
    constexpr int kClients = 6;
    constexpr int kRequests = 150;
    struct Tally {
        std::atomic<int> answered{0};
        std::atomic<int> refused{0};
    };
    auto* tally = new Tally();  // outlives a client left waiting, should one be
    for (int client = 0; client < kClients; ++client) {
        std::thread([tally] {
            for (int i = 0; i < kRequests; ++i) {
                (EmuRequest("state").rfind("ok ", 0) == 0 ? tally->answered : tally->refused)++;
            }
        }).detach();
    }
    // Bounded only against a hang: a loaded machine answers these in a few seconds.
    EXPECT_TRUE(Eventually([tally] { return tally->answered + tally->refused == kClients * kRequests; }, 120000))
        << "a request was never answered";
    EXPECT_EQ(tally->refused, 0);
}

TEST_F(EmuChannelTest, WithoutAServerRequestsFailAtOnce) {
    s_Emulator.Stop();
    EXPECT_FALSE(IsEmulatorRunning());
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(EmuRequest("state"), "error: no emulator");
    EXPECT_LT(GetTickCount64() - start, EMU_CONNECT_DEADLINE_MS) << "no retrying for a server that is not there";
    ASSERT_TRUE(s_Emulator.Start());
    EXPECT_TRUE(IsEmulatorRunning());
}

// Two runs side by side: each channel reaches its own server and model only, and a name
// that is not one reaches no server at all, not even the default channel's.
TEST_F(EmuChannelTest, EachChannelReachesItsOwnServerOnly) {
    ASSERT_EQ(EmuRequest("modem 4g"), "ok");
    EmulatorProcess other(EmulatorProcess::OwnChannel() + L"-other");
    ASSERT_TRUE(other.Start());
    EXPECT_EQ(EmuRequest("state").rfind("ok modem=none ", 0), 0u);
    s_Emulator.Select();
    EXPECT_EQ(EmuRequest("state").rfind("ok modem=4g ", 0), 0u);
    other.Stop();
    s_Emulator.Select();
    EXPECT_EQ(EmuRequest("state").rfind("ok modem=4g ", 0), 0u) << "the other server's end ended this one";

    const std::wstring tooLong(65, L'x');
    for (const wchar_t* name : {L"with blank", L"back\\slash", tooLong.c_str()}) {
        SetEnvironmentVariableW(EMU_CHANNEL_VARIABLE, name);
        EXPECT_FALSE(IsEmulatorRunning());
        EXPECT_EQ(EmuRequest("state"), "error: QUARN_EMU_CHANNEL is not a channel name");
    }
    s_Emulator.Select();
    EXPECT_EQ(EmuRequest("reset"), "ok");
}

}  // namespace
