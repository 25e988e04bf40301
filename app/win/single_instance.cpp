#include "app/win/single_instance.h"

SingleInstance::SingleInstance(const wchar_t* name, DWORD waitMs) {
    m_Mutex = CreateMutexW(nullptr, FALSE, name);
    if (m_Mutex == nullptr) {
        m_SetupError = GetLastError();
        // The mutex exists but its access list shuts us out: an instance that runs elevated
        // or as another user in this session holds it.
        m_First = m_SetupError != ERROR_ACCESS_DENIED;
        return;
    }
    switch (WaitForSingleObject(m_Mutex, waitMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // the holder ended without letting go (killed, or crashed)
        m_Owned = true;
        break;
    case WAIT_TIMEOUT:
        m_First = false;
        break;
    default:
        m_SetupError = GetLastError();
        break;
    }
}

SingleInstance::~SingleInstance() {
    if (m_Owned) {
        ReleaseMutex(m_Mutex);
    }
    if (m_Mutex != nullptr) {
        CloseHandle(m_Mutex);
    }
}
