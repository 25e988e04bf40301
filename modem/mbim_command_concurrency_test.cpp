// The AT tunnel from several threads at once, as the worker, the window and the system's
// notification threads call it: one command at a time reaches the modem. Run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "modem/mbim_command.h"
#include "tests/support/modem_port_fakes.h"

namespace {

// Answers OK after a while in the call, and notes whether two calls were ever inside at once.
class OverlapDetectingTransport : public ModemTransport {
public:
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> calls{0};

    QuarnHresult ExecuteMBIMCommand(uint32_t, const uint8_t*, uint32_t* responseLength, uint8_t* response,
                                    uint32_t) override {
        if (++inside > 1) {
            overlapped = true;
        }
        ++calls;
        // Long enough that unserialised callers meet inside.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        static const char kOk[] = "\r\nOK\r\n";
        std::memcpy(response, kOk, sizeof(kOk) - 1);
        *responseLength = sizeof(kOk) - 1;
        --inside;
        return QUARN_S_OK;
    }
};

TEST(AtTunnel, CommandsFromSeveralThreadsReachTheModemOneAtATime) {
    OverlapDetectingTransport transport;
    SameApartment apartment;
    NoConsole console;
    NoSleep sleeper;
    MBIMCommand::Attach({&transport, &apartment, &console, &sleeper});
    constexpr int kThreads = 4;
    constexpr int kCommands = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kCommands; ++i) {
                if ((t + i) % 2 == 0) {
                    EXPECT_EQ(MBIMCommand::SendRemoveSimCard(PLATFORM_4G), QUARN_S_OK);
                } else {
                    EXPECT_EQ(MBIMCommand::SendPowerOnSimCard(), QUARN_S_OK);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(transport.calls, kThreads * kCommands);
    EXPECT_FALSE(transport.overlapped) << "two AT commands were in the tunnel at once";
}

}  // namespace
