#include "monitor/win/sim_status_event.h"

#include <windows.h>

namespace {

class Win32SimStatusEvent final : public SimStatusEvent {
public:
    explicit Win32SimStatusEvent(HANDLE event) : m_Event(event) {}
    ~Win32SimStatusEvent() override { CloseHandle(m_Event); }
    Win32SimStatusEvent(const Win32SimStatusEvent&) = delete;
    Win32SimStatusEvent& operator=(const Win32SimStatusEvent&) = delete;
    void Set() override { SetEvent(m_Event); }
    void Reset() override { ResetEvent(m_Event); }
    bool Wait() override { return WaitForSingleObject(m_Event, INFINITE) == WAIT_OBJECT_0; }

private:
    HANDLE m_Event;
};

}  // namespace

std::unique_ptr<SimStatusEvent> CreateSimStatusEvent() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        return nullptr;
    }
    return std::make_unique<Win32SimStatusEvent>(event);
}

unsigned QUARN_STDCALL HandleUpdateSimStatusEvent(void* /*argument*/) {
    ConditionCheck& check = ConditionCheck::GetInstance();
    for (;;) {
        check.HandleUpdateSimStatusEventOnce();
    }
}
