#include "deploy/stop_instance.h"

#include <algorithm>
#include <sstream>

#include "trace/trace.h"

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.Known && b.Known && a.VolumeSerial == b.VolumeSerial && a.FileIndex == b.FileIndex;
}

CloseResult CloseInstances(InstanceCloser& closer, const std::vector<HeldInstance>& instances,
                           const CloseLimits& limits) {
    const uint64_t deadline = closer.NowMs() + limits.DeadlineMs;
    const auto remaining = [&]() -> uint32_t {
        const uint64_t now = closer.NowMs();
        return now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
    };
    // Every instance is asked before any is waited for: one deadline for all of them.
    for (const HeldInstance& instance : instances) {
        if (!closer.AskToClose(instance, remaining())) {
            LOG_WARNING("[WARNING] CloseInstances : process %u (session %u) could not be asked to close\n",
                        instance.ProcessId, instance.SessionId);
        }
    }
    CloseResult result;
    std::vector<const HeldInstance*> running;
    for (const HeldInstance& instance : instances) {
        if (closer.WaitForEnd(instance, remaining())) {
            ++result.Closed;
        } else {
            running.push_back(&instance);
        }
    }
    for (const HeldInstance* instance : running) {
        // It would hold its files open at InstallFiles, and the installer would replace them
        // only at a reboot.
        LOG_WARNING("[WARNING] CloseInstances : process %u (session %u) still ran at the deadline: TerminateProcess\n",
                    instance->ProcessId, instance->SessionId);
        if (closer.Terminate(*instance)) {
            ++result.Terminated;
        } else {
            LOG_ERROR("[ERROR] CloseInstances : process %u (session %u) still runs after TerminateProcess\n",
                      instance->ProcessId, instance->SessionId);
            ++result.Left;
        }
    }
    LOG_INFO("[INFO] CloseInstances : closed %zu, ended %zu, left %zu\n", result.Closed, result.Terminated,
             result.Left);
    return result;
}

int CloseExitCode(const CloseResult& result) {
    if (result.Left > 0) {
        return 1;
    }
    return result.Terminated > 0 ? 2 : 0;
}

namespace {

std::vector<uint32_t> Ordered(std::vector<uint32_t> sessions) {
    std::sort(sessions.begin(), sessions.end());
    sessions.erase(std::unique(sessions.begin(), sessions.end()), sessions.end());
    if (sessions.size() > SESSION_LIST_LIMIT) {
        sessions.resize(SESSION_LIST_LIMIT);
    }
    return sessions;
}

}  // namespace

std::vector<uint32_t> SessionsRunning(const std::vector<RunningProcess>& processes, const FileIdentity& installedImage) {
    std::vector<uint32_t> sessions;
    for (const RunningProcess& process : processes) {
        if (SameFile(process.Image, installedImage)) {
            sessions.push_back(process.SessionId);
        }
    }
    return Ordered(sessions);
}

std::string FormatSessionList(const std::vector<uint32_t>& sessions) {
    std::string text;
    for (const uint32_t session : sessions) {
        text += std::to_string(session) + "\n";
    }
    return text;
}

std::vector<uint32_t> ParseSessionList(const std::string& text) {
    std::vector<uint32_t> sessions;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.size() > 10 || line.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const unsigned long long value = std::stoull(line);
        if (value <= UINT32_MAX) {
            sessions.push_back(static_cast<uint32_t>(value));
        }
    }
    return Ordered(sessions);
}

bool RestartListIsCurrent(uint64_t writtenFileTime, uint64_t nowFileTime, uint64_t sinceBootMs) {
    constexpr uint64_t kFileTimePerMs = 10000;
    const uint64_t sinceBoot = sinceBootMs * kFileTimePerMs;
    // Before the clock's epoch the machine started with the clock: nothing is older than that.
    const uint64_t boot = nowFileTime > sinceBoot ? nowFileTime - sinceBoot : 0;
    return writtenFileTime >= boot;
}
