// Closing the running QuarnVelmora for the installer, in every logon session, for certain:
// the decisions of the stopper, behind a small port so that they are tested natively and the
// Windows program only makes the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A file as the file system knows it, whatever the path that named it (long or short name,
// either case, a link): the volume's serial number and the file's index on that volume.
struct FileIdentity {
    bool Known = false;
    uint32_t VolumeSerial = 0;
    uint64_t FileIndex = 0;
};

// The same file; nothing unknown is the same as anything.
bool SameFile(const FileIdentity& a, const FileIdentity& b);

// A running process as the stopper finds it.
struct RunningProcess {
    uint32_t ProcessId;
    uint32_t SessionId;
    FileIdentity Image;  // Known is false when it could not be read
};

// One instance of the installed program, held open by the stopper since its image was
// compared with the installed one (so that its id cannot come to name another process).
struct HeldInstance {
    uint32_t ProcessId;
    uint32_t SessionId;
};

// The instances, as the stopper reaches them.
class InstanceCloser {
public:
    virtual ~InstanceCloser() = default;
    // Asks the instance to close, the way it honours: WM_CLOSE posted to its own window by a
    // process of its session's user, who may keep trying for up to `withinMs` (an instance
    // still starting has no window yet). Does not wait for the instance. False when it could
    // not be asked (no user in that session, or the helper could not start).
    virtual bool AskToClose(const HeldInstance& instance, uint32_t withinMs) = 0;
    // Waits up to `ms` for the instance to end; true when it has.
    virtual bool WaitForEnd(const HeldInstance& instance, uint32_t ms) = 0;
    // Ends the instance (TerminateProcess on the handle held) and waits a little for it to be
    // gone; true when it has ended.
    virtual bool Terminate(const HeldInstance& instance) = 0;
    virtual uint64_t NowMs() = 0;
};

struct CloseLimits {
    // All the instances are asked at once, then waited for against this one deadline: the
    // install is held up this long at most, however many sessions there are.
    uint32_t DeadlineMs = 20000;
};

struct CloseResult {
    std::size_t Closed = 0;      // ended after being asked
    std::size_t Terminated = 0;  // still ran at the deadline and were ended
    std::size_t Left = 0;        // still run: even TerminateProcess did not end them
};

// Asks every instance to close, waits for all against one deadline, and ends with
// TerminateProcess (logging it) each one still running then.
CloseResult CloseInstances(InstanceCloser& closer, const std::vector<HeldInstance>& instances,
                           const CloseLimits& limits = CloseLimits{});

// The stopper's exit code: 0 when no instance of the installed program is left and none had
// to be ended, 2 when none is left but at least one was ended at the deadline, 1 when one still
// runs. The installer ignores it; it is there for people and the tests.
int CloseExitCode(const CloseResult& result);

// At most this many sessions are remembered; a list is never longer.
constexpr std::size_t SESSION_LIST_LIMIT = 64;

// The sessions in which the installed program (`installedImage`) runs, each once, ascending.
std::vector<uint32_t> SessionsRunning(const std::vector<RunningProcess>& processes, const FileIdentity& installedImage);

// The remembered sessions as the restart list holds them: one decimal id a line.
std::string FormatSessionList(const std::vector<uint32_t>& sessions);

// The sessions of a restart list, each once, in ascending order: lines that are not a session
// id (a decimal number below 2^32, with an optional carriage return) are skipped, and no more
// than SESSION_LIST_LIMIT are taken.
std::vector<uint32_t> ParseSessionList(const std::string& text);

// The restart list belongs to the one install that wrote it: one written before the machine
// last started (a power cut in the middle of an install) names sessions that are gone, whose
// numbers may now be other users'. Times are Windows file times (100 ns units), `sinceBootMs`
// the time since the machine started.
bool RestartListIsCurrent(uint64_t writtenFileTime, uint64_t nowFileTime, uint64_t sinceBootMs);
