#include "deploy/stop_instance.h"

#include <algorithm>
#include <sstream>

int StopExitCode(StopOutcome outcome) {
    switch (outcome) {
    case StopOutcome::NothingToStop:
    case StopOutcome::Stopped:
        return 0;
    case StopOutcome::StillRunning:
        return 1;
    case StopOutcome::Unreachable:
        return 2;
    case StopOutcome::ForeignOwner:
        return 3;
    }
    return 2;
}

std::vector<uint8_t> ExitMessage() {
    std::vector<uint8_t> bytes;
    for (const char16_t unit : u"EXIT") {  // the array's own zero is the terminator
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

namespace {

// The path as Windows compares it: no "\\?\" prefix, backslashes, ASCII letters folded.
// Letters beyond ASCII are left as they are: both paths come from the same file system,
// which spells a name the same way each time.
std::wstring ComparablePath(const std::wstring& path) {
    static const std::wstring kLongPrefix = L"\\\\?\\";
    std::wstring result = path.compare(0, kLongPrefix.size(), kLongPrefix) == 0 ? path.substr(kLongPrefix.size()) : path;
    for (wchar_t& c : result) {
        if (c == L'/') {
            c = L'\\';
        } else if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return result;
}

}  // namespace

bool IsInstalledImage(const std::wstring& ownerImage, const std::wstring& installedImage) {
    return !ownerImage.empty() && !installedImage.empty() &&
           ComparablePath(ownerImage) == ComparablePath(installedImage);
}

StopOutcome StopRunningInstance(InstanceControl& control, const std::wstring& installedImage,
                                const StopLimits& limits) {
    const uint64_t deadline = control.NowMs() + limits.TotalMs;
    const auto remaining = [&]() -> uint32_t {
        const uint64_t now = control.NowMs();
        return now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
    };
    bool sent = false;
    for (;;) {
        switch (control.Connect()) {
        case PipeConnect::NoPipe:
            // The pipe lives as long as its owner: gone after "EXIT" means the owner ended.
            return sent ? StopOutcome::Stopped : StopOutcome::NothingToStop;
        case PipeConnect::Busy:
            if (remaining() == 0) {
                return StopOutcome::StillRunning;
            }
            control.WaitWhileBusy(std::min(remaining(), limits.BusyWaitMs));
            break;
        case PipeConnect::Denied:
        case PipeConnect::Failed:
            return sent ? StopOutcome::StillRunning : StopOutcome::Unreachable;
        case PipeConnect::Connected: {
            if (!IsInstalledImage(control.OwnerImage(), installedImage)) {
                control.Disconnect();
                // The pipe lives as long as its owner: ours, once told, has let it go.
                return sent ? StopOutcome::Stopped : StopOutcome::ForeignOwner;
            }
            sent = control.Send(ExitMessage()) || sent;
            const bool ended = control.WaitForOwnerExit(std::min(remaining(), limits.ResendMs));
            control.Disconnect();
            if (ended) {
                return StopOutcome::Stopped;
            }
            if (remaining() == 0) {
                return StopOutcome::StillRunning;
            }
            break;
        }
        }
    }
}

std::vector<uint32_t> MergeSessions(std::vector<uint32_t> kept, const std::vector<uint32_t>& found) {
    kept.insert(kept.end(), found.begin(), found.end());
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    if (kept.size() > SESSION_LIST_LIMIT) {
        kept.resize(SESSION_LIST_LIMIT);
    }
    return kept;
}

std::vector<uint32_t> SessionsRunning(const std::vector<RunningProcess>& processes, const std::wstring& installedImage) {
    std::vector<uint32_t> sessions;
    for (const RunningProcess& process : processes) {
        if (IsInstalledImage(process.Image, installedImage)) {
            sessions.push_back(process.SessionId);
        }
    }
    return MergeSessions({}, sessions);
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
    return MergeSessions({}, sessions);
}
