// Ending the running QuarnVelmora through its control pipe, for the installer: what the
// stopper does with each outcome of a connection attempt, behind a small port so that the
// decisions are tested natively and the Windows program only makes the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What an attempt to connect to the control pipe found.
enum class PipeConnect {
    Connected,  // a connection to the instance that owns the pipe
    NoPipe,     // no instance owns the pipe
    Busy,       // another client holds the single pipe instance
    Denied,     // the pipe exists but this account may not write to it
    Failed,     // any other error
};

enum class StopOutcome {
    NothingToStop,  // no pipe at the first attempt
    Stopped,        // "EXIT" was delivered and the owner has ended
    StillRunning,   // the owner was still there when the time ran out
    Unreachable,    // the pipe exists but could not be written to
    ForeignOwner,   // another program serves the pipe: it was sent nothing
};

// The process's exit code for an outcome: 0 when no instance is left running.
int StopExitCode(StopOutcome outcome);

// The control pipe as the stopper reaches it.
class InstanceControl {
public:
    virtual ~InstanceControl() = default;
    virtual PipeConnect Connect() = 0;
    // The full path of the image of the process that serves the open connection; empty
    // when it cannot be told.
    virtual std::wstring OwnerImage() = 0;
    // Writes on the open connection; false when the write failed.
    virtual bool Send(const std::vector<uint8_t>& message) = 0;
    // Waits up to `ms` for the process that owns the connected pipe to end; true when it
    // has. A side that cannot watch that process waits the time and answers false.
    virtual bool WaitForOwnerExit(uint32_t ms) = 0;
    // Ends the connection (idempotent).
    virtual void Disconnect() = 0;
    // Waits up to `ms` for the busy pipe to take a client.
    virtual void WaitWhileBusy(uint32_t ms) = 0;
    virtual uint64_t NowMs() = 0;
};

struct StopLimits {
    // The whole run never takes much longer than this, whatever the instance does.
    uint32_t TotalMs = 30000;
    // How long to wait for the owner to end before "EXIT" is sent again: an instance that
    // is still starting drops a message that comes before its window exists.
    uint32_t ResendMs = 5000;
    // One wait for a busy pipe (a client that connects and stays silent is let go by the
    // server after 3 s).
    uint32_t BusyWaitMs = 1000;
};

// "EXIT" as the control pipe reads it: UTF-16LE with a terminating zero unit.
std::vector<uint8_t> ExitMessage();

// True when `ownerImage` names the file `installedImage` names, as Windows matches paths:
// letters in either case, either slash, with or without the "\\?\" prefix. Nothing
// matches an empty path.
bool IsInstalledImage(const std::wstring& ownerImage, const std::wstring& installedImage);

// Sends "EXIT" only to a pipe that the installed program (`installedImage`, its full path)
// serves, and waits for it to end.
StopOutcome StopRunningInstance(InstanceControl& control, const std::wstring& installedImage,
                                const StopLimits& limits = StopLimits{});

// Instances in other logon sessions: the Restart Manager does not reach across sessions, so
// the stopper (as LocalSystem) starts a helper in each session that runs the program, which
// closes the instance there as the session's user, and remembers the session so that the
// program is started there again once the new files are in place.

// A running process as the stopper finds it.
struct RunningProcess {
    uint32_t ProcessId;
    uint32_t SessionId;
    std::wstring Image;  // full path; empty when it could not be read
};

// At most this many sessions are remembered; a list is never longer.
constexpr std::size_t SESSION_LIST_LIMIT = 64;

// The sessions in which the installed program runs, each once, in ascending order.
std::vector<uint32_t> SessionsRunning(const std::vector<RunningProcess>& processes, const std::wstring& installedImage);

// The remembered sessions as the list file holds them: one decimal id a line.
std::string FormatSessionList(const std::vector<uint32_t>& sessions);

// The sessions of a list file, each once, in ascending order: lines that are not a session id
// (a decimal number below 2^32, with an optional carriage return) are skipped, and no more
// than SESSION_LIST_LIMIT are taken.
std::vector<uint32_t> ParseSessionList(const std::string& text);

// The two lists together, each session once, in ascending order, at most SESSION_LIST_LIMIT.
std::vector<uint32_t> MergeSessions(std::vector<uint32_t> kept, const std::vector<uint32_t>& found);
