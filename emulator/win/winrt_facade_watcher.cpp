// The Runtime facade's MobileBroadbandAccountWatcher: its events, enumeration and the model's account events.
#include "emulator/win/winrt_facade_internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "common/win/com_ptr.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

using namespace QuarnWinRT;

namespace WinRTFacade {

namespace {

constexpr HRESULT kIllegalStateChange = static_cast<HRESULT>(0x8000000D);
constexpr DWORD kEnumerationWaitMs = 5000;
constexpr DWORD kLateStatusMs = 500;  // from a late enumeration's event to its status

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// How far the running watchers' event threads have got, for a command that waits until the
// account update it raised has reached the handlers.
std::mutex g_RaisedMutex;
std::condition_variable g_RaisedChanged;
uint64_t g_RaisedUpTo = 0;
int g_Following = 0;  // watchers whose event thread follows the model's events

void NoteFollowing(int change) {
    std::lock_guard<std::mutex> lock(g_RaisedMutex);
    g_Following += change;
    g_RaisedChanged.notify_all();
}

void NoteRaised(uint64_t sequence) {
    std::lock_guard<std::mutex> lock(g_RaisedMutex);
    if (sequence > g_RaisedUpTo) {
        g_RaisedUpTo = sequence;
    }
    g_RaisedChanged.notify_all();
}

class AccountEventArgs final : public RuntimeObject<AccountEventArgs, IMobileBroadbandAccountEventArgs> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandAccountEventArgs";
    explicit AccountEventArgs(std::wstring id) : m_Id(std::move(id)) {}
    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandAccountEventArgs ? static_cast<IMobileBroadbandAccountEventArgs*>(this)
                                                           : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_NetworkAccountId(HSTRING* value) override { return MakeHString(m_Id.c_str(), value); }

private:
    const std::wstring m_Id;
};

class AccountUpdatedEventArgs final
    : public RuntimeObject<AccountUpdatedEventArgs, IMobileBroadbandAccountUpdatedEventArgs> {
public:
    static constexpr const wchar_t* kClassName =
        L"Windows.Networking.NetworkOperators.MobileBroadbandAccountUpdatedEventArgs";
    AccountUpdatedEventArgs(std::wstring id, bool device, bool network)
        : m_Id(std::move(id)), m_Device(device), m_Network(network) {}
    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandAccountUpdatedEventArgs
                   ? static_cast<IMobileBroadbandAccountUpdatedEventArgs*>(this)
                   : nullptr;
    }
    HRESULT STDMETHODCALLTYPE get_NetworkAccountId(HSTRING* value) override { return MakeHString(m_Id.c_str(), value); }
    HRESULT STDMETHODCALLTYPE get_HasDeviceInformationChanged(boolean* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Device;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HasNetworkChanged(boolean* value) override {
        if (value == nullptr) {
            return E_POINTER;
        }
        *value = m_Network;
        return S_OK;
    }

private:
    const std::wstring m_Id;
    const bool m_Device;
    const bool m_Network;
};

// Handlers registered for one event, by token.
template <typename Handler>
class HandlerList {
public:
    HRESULT Add(Handler* handler, EventRegistrationToken* token, int64_t value) {
        if (handler == nullptr || token == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        handler->AddRef();
        m_Handlers[value] = handler;
        token->value = value;
        return S_OK;
    }
    HRESULT Remove(EventRegistrationToken token) {
        Handler* handler = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const auto it = m_Handlers.find(token.value);
            if (it == m_Handlers.end()) {
                return S_OK;  // unknown tokens are ignored, as the system does
            }
            handler = it->second;
            m_Handlers.erase(it);
        }
        handler->Release();
        return S_OK;
    }
    // Calls every handler outside the lock, so a handler may remove itself.
    template <typename Sender, typename Args>
    void Raise(Sender* sender, Args* args) {
        std::vector<Handler*> handlers;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (const auto& entry : m_Handlers) {
                entry.second->AddRef();
                handlers.push_back(entry.second);
            }
        }
        for (Handler* handler : handlers) {
            handler->Invoke(sender, args);
            handler->Release();
        }
    }
    ~HandlerList() {
        for (const auto& entry : m_Handlers) {
            entry.second->Release();
        }
    }

private:
    std::mutex m_Mutex;
    std::map<int64_t, Handler*> m_Handlers;
};

class AccountWatcher final : public RuntimeObject<AccountWatcher, IMobileBroadbandAccountWatcher> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandAccountWatcher";

    void* Find(REFIID iid) {
        return iid == IID_IMobileBroadbandAccountWatcher ? static_cast<IMobileBroadbandAccountWatcher*>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE add_AccountAdded(ITypedEventHandler_Watcher_AccountEventArgs* handler,
                                               EventRegistrationToken* cookie) override {
        return m_Added.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_AccountAdded(EventRegistrationToken cookie) override { return m_Added.Remove(cookie); }
    HRESULT STDMETHODCALLTYPE add_AccountUpdated(ITypedEventHandler_Watcher_AccountUpdatedEventArgs* handler,
                                                 EventRegistrationToken* cookie) override {
        return m_Updated.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_AccountUpdated(EventRegistrationToken cookie) override {
        return m_Updated.Remove(cookie);
    }
    HRESULT STDMETHODCALLTYPE add_AccountRemoved(ITypedEventHandler_Watcher_AccountEventArgs* handler,
                                                 EventRegistrationToken* cookie) override {
        return m_Removed.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_AccountRemoved(EventRegistrationToken cookie) override {
        return m_Removed.Remove(cookie);
    }
    HRESULT STDMETHODCALLTYPE add_EnumerationCompleted(ITypedEventHandler_Watcher_Object* handler,
                                                       EventRegistrationToken* cookie) override {
        return m_Enumerated.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_EnumerationCompleted(EventRegistrationToken cookie) override {
        return m_Enumerated.Remove(cookie);
    }
    HRESULT STDMETHODCALLTYPE add_Stopped(ITypedEventHandler_Watcher_Object* handler,
                                          EventRegistrationToken* cookie) override {
        return m_Stopped.Add(handler, cookie, ++m_NextToken);
    }
    HRESULT STDMETHODCALLTYPE remove_Stopped(EventRegistrationToken cookie) override { return m_Stopped.Remove(cookie); }
    HRESULT STDMETHODCALLTYPE get_Status(MobileBroadbandAccountWatcherStatus* status) override {
        if (status == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        *status = m_Status;
        return S_OK;
    }

    // Enumerates the present accounts on the event thread and returns once the enumeration
    // is over (or, when scripted never to complete, after a short wait), so the status read
    // right after Start shows how it went. Scripted to complete MS ms after Start returned,
    // it returns at once with the status Started, as Windows may: the enumeration then ends
    // on the event thread.
    HRESULT STDMETHODCALLTYPE Start() override {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_Status == MobileBroadbandAccountWatcherStatus_Started ||
            m_Status == MobileBroadbandAccountWatcherStatus_EnumerationCompleted) {
            return kIllegalStateChange;
        }
        const std::string answer = EmuRequest("rt watcher start");
        // The service is down: the watcher cannot start, and says so by its status.
        if (HRESULT refused = S_OK; ScriptedFailure(answer, &refused)) {
            m_Status = MobileBroadbandAccountWatcherStatus_Aborted;
            return refused;
        }
        std::istringstream reply(answer);
        std::string ok;
        std::string mode;
        uint32_t afterMs = 0;
        uint64_t sequence = 0;
        reply >> ok >> mode;
        if (mode == "after") {
            reply >> afterMs;
        }
        reply >> sequence;
        if (ok != "ok") {
            mode = "complete";  // no emulator: a machine without accounts
        }
        std::vector<std::wstring> accounts;
        for (std::string id; reply >> id;) {
            accounts.push_back(Widen(id));
        }
        m_Status = MobileBroadbandAccountWatcherStatus_Started;
        m_Enumerating = true;
        ++m_Generation;
        AddRef();  // held by the event thread
        StartDetachedThread(L"emu-rt-watcher", [this, mode, afterMs, sequence, accounts, generation = m_Generation] {
            Run(mode, afterMs, sequence, accounts, generation);
        });
        m_Changed.wait_for(lock, std::chrono::milliseconds(kEnumerationWaitMs), [this] { return !m_Enumerating; });
        m_ReturnedStart = m_Generation;
        m_Changed.notify_all();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stop() override {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Status != MobileBroadbandAccountWatcherStatus_Started &&
                m_Status != MobileBroadbandAccountWatcherStatus_EnumerationCompleted) {
                return kIllegalStateChange;
            }
            m_Status = MobileBroadbandAccountWatcherStatus_Stopped;
            ++m_Generation;  // ends the event thread
            m_Changed.notify_all();
        }
        EmuRequest("rt watcher stop");
        m_Stopped.Raise(static_cast<IMobileBroadbandAccountWatcher*>(this), static_cast<IInspectable*>(nullptr));
        return S_OK;
    }

private:
    bool IsCurrent(uint64_t generation) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return generation == m_Generation;
    }

    void EndEnumeration(MobileBroadbandAccountWatcherStatus status) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Status = status;
        m_Enumerating = false;
        m_Changed.notify_all();
    }

    void Raise(const std::string& kind, const std::wstring& id, bool device, bool network) {
        auto* self = static_cast<IMobileBroadbandAccountWatcher*>(this);
        if (kind == "updated") {
            ComPtr<AccountUpdatedEventArgs> args(new AccountUpdatedEventArgs(id, device, network));
            m_Updated.Raise(self, static_cast<IMobileBroadbandAccountUpdatedEventArgs*>(args.Get()));
            return;
        }
        ComPtr<AccountEventArgs> args(new AccountEventArgs(id));
        (kind == "added" ? m_Added : m_Removed).Raise(self, static_cast<IMobileBroadbandAccountEventArgs*>(args.Get()));
    }

    // The service went: the watcher aborts, as Windows ends every watcher of a service that
    // stops, and raises Stopped; it never runs again.
    void AbortForService(uint64_t generation) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (generation != m_Generation) {
                return;
            }
            m_Status = MobileBroadbandAccountWatcherStatus_Aborted;
            ++m_Generation;  // ends the event thread
            m_Changed.notify_all();
        }
        m_Stopped.Raise(static_cast<IMobileBroadbandAccountWatcher*>(this), static_cast<IInspectable*>(nullptr));
    }

    // Lets Start return, then waits until it has and afterMs more; false when stopped first.
    bool WaitAfterStart(uint32_t afterMs, uint64_t generation) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Enumerating = false;
        m_Changed.notify_all();
        m_Changed.wait(lock, [&] { return m_ReturnedStart == generation || m_Generation != generation; });
        m_Changed.wait_for(lock, std::chrono::milliseconds(afterMs), [&] { return m_Generation != generation; });
        return m_Generation == generation;
    }

    void Run(std::string mode, uint32_t afterMs, uint64_t sequence, std::vector<std::wstring> accounts,
             uint64_t generation) {
        auto* self = static_cast<IMobileBroadbandAccountWatcher*>(this);
        const bool late = mode == "after";
        if (late) {
            if (!WaitAfterStart(afterMs, generation)) {
                Release();
                return;
            }
            mode = "complete";
        }
        for (const std::wstring& id : accounts) {
            Raise("added", id, false, false);
        }
        if (mode == "complete" && late) {
            // Nothing promises that the status changes before the event is raised: a late
            // enumeration raises it first, and the status follows a moment later.
            m_Enumerated.Raise(self, static_cast<IInspectable*>(nullptr));
            Sleep(kLateStatusMs);
            EndEnumeration(MobileBroadbandAccountWatcherStatus_EnumerationCompleted);
        } else if (mode == "complete") {
            EndEnumeration(MobileBroadbandAccountWatcherStatus_EnumerationCompleted);
            m_Enumerated.Raise(self, static_cast<IInspectable*>(nullptr));
        } else if (mode == "abort") {
            EndEnumeration(MobileBroadbandAccountWatcherStatus_Aborted);
            m_Stopped.Raise(self, static_cast<IInspectable*>(nullptr));
            Release();
            return;
        } else {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Enumerating = false;  // Start returns; the status stays Started
            m_Changed.notify_all();
        }
        NoteFollowing(1);
        FollowEmuEvents(
            sequence, [this, generation] { return IsCurrent(generation); },
            [this, generation](const EmuEvent& event) {
                if (event.Kind == "added" || event.Kind == "updated" || event.Kind == "removed") {
                    Raise(event.Kind, Widen(event.Subject), event.Device, event.Network);
                } else if (event.Kind == "service-stopped") {
                    AbortForService(generation);
                }
                NoteRaised(event.Sequence);
            });
        NoteFollowing(-1);
        Release();
    }

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    MobileBroadbandAccountWatcherStatus m_Status = MobileBroadbandAccountWatcherStatus_Created;
    bool m_Enumerating = false;
    uint64_t m_Generation = 0;
    uint64_t m_ReturnedStart = 0;  // the generation whose Start has returned
    std::atomic<int64_t> m_NextToken{0};
    HandlerList<ITypedEventHandler_Watcher_AccountEventArgs> m_Added;
    HandlerList<ITypedEventHandler_Watcher_AccountUpdatedEventArgs> m_Updated;
    HandlerList<ITypedEventHandler_Watcher_AccountEventArgs> m_Removed;
    HandlerList<ITypedEventHandler_Watcher_Object> m_Enumerated;
    HandlerList<ITypedEventHandler_Watcher_Object> m_Stopped;
};

class AccountWatcherFactory final : public RuntimeObject<AccountWatcherFactory, IActivationFactory> {
public:
    static constexpr const wchar_t* kClassName = L"Windows.Networking.NetworkOperators.MobileBroadbandAccountWatcher";
    void* Find(REFIID iid) { return iid == __uuidof(IActivationFactory) ? static_cast<IActivationFactory*>(this) : nullptr; }
    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
        if (instance == nullptr) {
            return E_POINTER;
        }
        *instance = static_cast<IMobileBroadbandAccountWatcher*>(new AccountWatcher());
        return S_OK;
    }
};

}  // namespace

IActivationFactory* NewAccountWatcherFactory() { return new AccountWatcherFactory(); }

void WaitAccountEventsRaised(uint64_t sequence, DWORD ms) {
    std::unique_lock<std::mutex> lock(g_RaisedMutex);
    g_RaisedChanged.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return g_Following == 0 || g_RaisedUpTo >= sequence; });
}

}  // namespace WinRTFacade
