// The Windows side of ConditionCheck: its auto-reset event, and the process-wide instance.
#include <windows.h>

#include "monitor/condition_check.h"

namespace {

class Win32SimStatusEvent final : public SimStatusEvent {
public:
    explicit Win32SimStatusEvent(HANDLE event) : m_Event(event) {}
    ~Win32SimStatusEvent() override { CloseHandle(m_Event); }
    Win32SimStatusEvent(const Win32SimStatusEvent&) = delete;
    Win32SimStatusEvent& operator=(const Win32SimStatusEvent&) = delete;
    void Set() override { SetEvent(m_Event); }
    void Reset() override { ResetEvent(m_Event); }

private:
    HANDLE m_Event;
};

std::unique_ptr<SimStatusEvent> CreateSimStatusEvent() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        return nullptr;  // requests then log that the event is missing
    }
    return std::make_unique<Win32SimStatusEvent>(event);
}

}  // namespace

ConditionCheck& ConditionCheck::GetInstance() {
    static ConditionCheck instance(CreateSimStatusEvent());
    return instance;
}
