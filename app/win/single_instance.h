// One instance in each logon session, decided before anything with an effect: a second
// launch (a double click, the Run value and an installer's restart at once) must not power
// the SIM on, take the control pipe or add an icon.
#pragma once

#include <windows.h>

// "Local\": one per logon session, so each user's session runs its own instance.
constexpr wchar_t SINGLE_INSTANCE_MUTEX_NAME[] = L"Local\\QuarnVelmoraInstance";
// An instance that is ending (its window gone, its tear-down under way) still holds the
// mutex for a moment; a launch right after an Exit waits for it instead of ending unseen.
constexpr DWORD SINGLE_INSTANCE_WAIT_MS = 5000;

class SingleInstance {
public:
    // Takes the named mutex, waiting up to `waitMs` for an instance that holds it to end.
    SingleInstance(const wchar_t* name, DWORD waitMs);
    // Lets the mutex go, so that the next launch need not wait for the process to end.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another instance of the session runs. True also when the mutex could not
    // be made at all (SetupError), for then nothing tells; the window probe still does.
    bool IsFirst() const { return m_First; }
    // The error of a mutex that could not be made, or 0.
    DWORD SetupError() const { return m_SetupError; }

private:
    HANDLE m_Mutex = nullptr;
    bool m_Owned = false;
    bool m_First = true;
    DWORD m_SetupError = 0;
};
