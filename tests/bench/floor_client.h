// The benchmark's floor clients: the fewest platform calls that do what the program does,
// with none of the program's own machinery (no window, worker, event, mutex or trace), run
// against the same emulator in the same run so that the program's share can be told from
// Wine's and the emulator's.
#pragma once

#include <string>

// The calls of the program's eject: the default modem, the vendor AT device service, a
// command session, a buffer, a set command and its completion. Returns the answer's text,
// or an empty text when any step failed.
std::string SendAtCommandFloor(const std::string& payload);

// Follows the account events as the program does (a MobileBroadbandAccountWatcher with an
// AccountUpdated handler, started) and returns an auto-reset event that the handler sets on
// every update: the trigger the floor's decision starts from, delivered the same way as the
// program's. Null when the watcher cannot be started.
void* FollowAccountUpdates();

// The calls of the Mobile Broadband wrapper's start: its four managers, the interface
// manager's subscription, the detection of the first interface, the 50 ms pause, the seven
// subscriptions of the connection, the device services context and the interface's queries.
void ConnectMobileBroadbandFloor();

// The calls of the program's decision: the default modem's network device status and, for
// a SIM in the modem, the active slot the way the program asks for it (on the 4G modem the
// netsh slot mapping, on the 5G one the AT query). Returns the slot, 0 when there is no SIM
// or no answer, -1 when there is no modem.
int DecideFloor(bool fourG);
