#include "channels/win/account_watcher_win.h"

#include "common/win/agile_delegate.h"
#include "trace/trace.h"

#include <roapi.h>

#include <mutex>
#include <stdexcept>

using namespace QuarnWinRT;

namespace {

std::wstring ToWide(HSTRING value) {
    UINT32 length = 0;
    const wchar_t* text = WindowsGetStringRawBuffer(value, &length);
    return std::wstring(text, length);
}

class RuntimeAccountEventArgs final : public AccountEventArgs {
public:
    explicit RuntimeAccountEventArgs(IMobileBroadbandAccountEventArgs* args) : m_Args(args) {}
    std::wstring NetworkAccountId() override {
        if (m_Args == nullptr) {
            throw std::runtime_error("no event arguments");
        }
        HSTRING id = nullptr;
        ThrowIfFailed(m_Args->get_NetworkAccountId(&id));
        const std::wstring text = ToWide(id);
        WindowsDeleteString(id);
        return text;
    }

private:
    IMobileBroadbandAccountEventArgs* m_Args;
};

class RuntimeAccountUpdatedEventArgs final : public AccountUpdatedEventArgs {
public:
    explicit RuntimeAccountUpdatedEventArgs(IMobileBroadbandAccountUpdatedEventArgs* args) : m_Args(args) {}
    std::wstring NetworkAccountId() override {
        HSTRING id = nullptr;
        ThrowIfFailed(Args()->get_NetworkAccountId(&id));
        const std::wstring text = ToWide(id);
        WindowsDeleteString(id);
        return text;
    }
    bool HasNetworkChanged() override {
        boolean value = false;
        ThrowIfFailed(Args()->get_HasNetworkChanged(&value));
        return value != 0;
    }
    bool HasDeviceInformationChanged() override {
        boolean value = false;
        ThrowIfFailed(Args()->get_HasDeviceInformationChanged(&value));
        return value != 0;
    }

private:
    IMobileBroadbandAccountUpdatedEventArgs* Args() {
        if (m_Args == nullptr) {
            throw std::runtime_error("no event arguments");
        }
        return m_Args;
    }
    IMobileBroadbandAccountUpdatedEventArgs* m_Args;
};

// A typed event handler delegate: reference counted, callable from any thread, and no
// exception leaves it for the system's frames.
// A typed event handler: no exception leaves it for the system's frames.
template <typename Interface, const GUID& kIid, typename Args, typename Handle>
class Delegate final : public AgileDelegate<Interface, kIid> {
public:
    explicit Delegate(Handle handle) : m_Handle(handle) {}
    HRESULT STDMETHODCALLTYPE Invoke(IMobileBroadbandAccountWatcher*, Args* args) override {
        try {
            m_Handle(args);
            return S_OK;
        } catch (...) {
            return E_FAIL;
        }
    }

private:
    Handle m_Handle;
};

template <typename Interface, const GUID& kIid, typename Args, typename Handle>
void Attach(HRESULT (STDMETHODCALLTYPE IMobileBroadbandAccountWatcher::*add)(Interface*, EventRegistrationToken*),
            IMobileBroadbandAccountWatcher* watcher, Handle handle) {
    auto* delegate = new Delegate<Interface, kIid, Args, Handle>(handle);
    EventRegistrationToken token{};  // not kept: the handlers stay until the watcher goes
    const HRESULT result = (watcher->*add)(delegate, &token);
    delegate->Release();
    ThrowIfFailed(result);
}

// The class's activation factory, kept once found: a watcher is made again after each
// restart of its service, and each lookup walks the registry (under Wine it also leaves the
// class's key open). Only a success is kept: a refusal or a service starting is asked again.
HRESULT WatcherFactory(IActivationFactory** factory) {
    static std::mutex mutex;
    static IActivationFactory* found = nullptr;  // one reference, held until the process ends
    std::lock_guard<std::mutex> lock(mutex);
    if (found == nullptr) {
        HStringRef name(RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher);
        const HRESULT hr = RoGetActivationFactory(name.Get(), __uuidof(IActivationFactory), reinterpret_cast<void**>(&found));
        if (FAILED(hr)) {
            found = nullptr;
            return hr;
        }
    }
    *factory = found;
    return S_OK;
}

}  // namespace

WinRtAccountWatcher::WinRtAccountWatcher() { Activate(); }

void WinRtAccountWatcher::Recreate() {
    m_Watcher.Reset();
    Activate();
}

void WinRtAccountWatcher::Activate() {
    m_Ended = std::make_shared<EnumerationEnded>();
    ComPtr<IInspectable> instance;
    IActivationFactory* factory = nullptr;
    m_ActivationResult = WatcherFactory(&factory);
    if (SUCCEEDED(m_ActivationResult)) {
        m_ActivationResult = factory->ActivateInstance(instance.Put());
    }
    if (SUCCEEDED(m_ActivationResult)) {
        m_ActivationResult =
            instance->QueryInterface(IID_IMobileBroadbandAccountWatcher, reinterpret_cast<void**>(m_Watcher.Put()));
    }
    if (FAILED(m_ActivationResult)) {
        LOG_ERROR("[ERROR] WinRtAccountWatcher::WinRtAccountWatcher : activation failed: 0x%08X\n",
                  static_cast<unsigned>(m_ActivationResult));
    }
}

IMobileBroadbandAccountWatcher* WinRtAccountWatcher::Watcher() {
    ThrowIfFailed(m_ActivationResult);
    return m_Watcher.Get();
}

int WinRtAccountWatcher::Status() {
    // A watcher the system would not make is one that can never run.
    if (FAILED(m_ActivationResult)) {
        return static_cast<int>(MobileBroadbandAccountWatcherStatus_Aborted);
    }
    MobileBroadbandAccountWatcherStatus status{};
    ThrowIfFailed(m_Watcher->get_Status(&status));
    return static_cast<int>(status);
}

void WinRtAccountWatcher::AttachHandlers() {
    IMobileBroadbandAccountWatcher* watcher = Watcher();
    Attach<ITypedEventHandler_Watcher_AccountEventArgs, IID_ITypedEventHandler_Watcher_AccountEventArgs,
           IMobileBroadbandAccountEventArgs>(&IMobileBroadbandAccountWatcher::add_AccountAdded, watcher,
                                             [](IMobileBroadbandAccountEventArgs* args) {
                                                 RuntimeAccountEventArgs read(args);
                                                 AccountAddedHandler(read);
                                             });
    Attach<ITypedEventHandler_Watcher_AccountUpdatedEventArgs, IID_ITypedEventHandler_Watcher_AccountUpdatedEventArgs,
           IMobileBroadbandAccountUpdatedEventArgs>(&IMobileBroadbandAccountWatcher::add_AccountUpdated, watcher,
                                                    [](IMobileBroadbandAccountUpdatedEventArgs* args) {
                                                        RuntimeAccountUpdatedEventArgs read(args);
                                                        AccountUpdatedHandler(read);
                                                    });
    Attach<ITypedEventHandler_Watcher_AccountEventArgs, IID_ITypedEventHandler_Watcher_AccountEventArgs,
           IMobileBroadbandAccountEventArgs>(&IMobileBroadbandAccountWatcher::add_AccountRemoved, watcher,
                                             [](IMobileBroadbandAccountEventArgs* args) {
                                                 RuntimeAccountEventArgs read(args);
                                                 AccountRemovedHandler(read);
                                             });
    Attach<ITypedEventHandler_Watcher_Object, IID_ITypedEventHandler_Watcher_Object, IInspectable>(
        &IMobileBroadbandAccountWatcher::add_EnumerationCompleted, watcher, [ended = m_Ended](IInspectable*) {
            EnumerationCompletedHandler();
            ended->Came(EnumerationEnd::Completed);
        });
    Attach<ITypedEventHandler_Watcher_Object, IID_ITypedEventHandler_Watcher_Object, IInspectable>(
        &IMobileBroadbandAccountWatcher::add_Stopped, watcher, [ended = m_Ended](IInspectable*) {
            ended->Came(EnumerationEnd::Stopped);
            AccountWatcherStoppedHandler();
        });
}

EnumerationEnd WinRtAccountWatcher::WaitForEnumerationEnd(uint32_t timeoutMs) {
    WaitForSingleObject(m_Ended->Event, timeoutMs);
    return static_cast<EnumerationEnd>(m_Ended->First.load());
}

void WinRtAccountWatcher::Start() { ThrowIfFailed(Watcher()->Start()); }

void WinRtAccountWatcher::Stop() { ThrowIfFailed(Watcher()->Stop()); }
