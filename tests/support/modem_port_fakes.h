// Do-nothing fakes of the modem path's ports, for tests and fuzzers that script only the
// transport.
#pragma once

#include <string>

#include "modem/mbim_command.h"

class SameApartment : public ComApartment {
public:
    void JoinMultithreadedApartment() override {}
};

class NoConsole : public ConsoleRunner {
public:
    std::string Execute(const std::wstring&) override { return ""; }
};

class NoSleep : public Sleeper {
public:
    void SleepMs(uint32_t) override {}
};
