// What the winrt_facade*.cpp files share: the Runtime object base, its counters, strings,
// buffers, and the objects each file makes for the others.
#pragma once

#include <windows.h>
#include <activation.h>
#include <winstring.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <type_traits>

#include "compat/winrt_network_operators.h"

namespace WinRTFacade {

// The facade's objects alive now, and its activation factories apart (winrt_facade.cpp).
extern std::atomic<long> g_Objects;
extern std::atomic<long> g_Factories;

inline bool IsOk(const std::string& reply) { return reply.rfind("ok", 0) == 0; }

// A model reply "ok fail HEX" scripts the HRESULT the call returns.
inline bool ScriptedFailure(const std::string& reply, HRESULT* result) {
    if (reply.rfind("ok fail ", 0) != 0) {
        return false;
    }
    *result = static_cast<HRESULT>(std::stoul(reply.substr(8), nullptr, 16));
    return true;
}

inline HRESULT MakeHString(const wchar_t* text, HSTRING* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    return WindowsCreateString(text, static_cast<UINT32>(std::wcslen(text)), out);
}

// Reference counting, IInspectable and QueryInterface for the facade's classes. `Find` names
// the interfaces an object answers besides IUnknown, IInspectable and IAgileObject (every
// object here may be called from any thread, as the system's are).
template <typename Derived, typename Primary>
class RuntimeObject : public Primary {
public:
    RuntimeObject() { ++(kFactory ? g_Factories : g_Objects); }
    virtual ~RuntimeObject() { --(kFactory ? g_Factories : g_Objects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(IInspectable) || iid == QuarnWinRT::IID_IAgileObject) {
            *out = static_cast<Primary*>(this);
        } else {
            *out = static_cast<Derived*>(this)->Find(iid);
        }
        if (*out == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_References;
        if (left == 0) {
            delete static_cast<Derived*>(this);
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
        if (count == nullptr || iids == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        *iids = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
        return MakeHString(Derived::kClassName, name);
    }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
        if (level == nullptr) {
            return E_POINTER;
        }
        *level = BaseTrust;
        return S_OK;
    }

private:
    // Activation factories are counted apart: a client keeps them for the life of its process.
    static constexpr bool kFactory = std::is_same_v<Primary, IActivationFactory>;
    std::atomic<ULONG> m_References{1};
};

// An object with a second interface base inherits IUnknown (and IInspectable) twice; these
// route both to RuntimeObject's single implementation.
#define QUARN_FORWARD_UNKNOWN()                                                          \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {          \
        return RuntimeObject::QueryInterface(iid, out);                                  \
    }                                                                                    \
    ULONG STDMETHODCALLTYPE AddRef() override { return RuntimeObject::AddRef(); }        \
    ULONG STDMETHODCALLTYPE Release() override { return RuntimeObject::Release(); }
#define QUARN_FORWARD_INSPECTABLE()                                                      \
    QUARN_FORWARD_UNKNOWN()                                                              \
    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {               \
        return RuntimeObject::GetIids(count, iids);                                      \
    }                                                                                    \
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {              \
        return RuntimeObject::GetRuntimeClassName(name);                                 \
    }                                                                                    \
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {                \
        return RuntimeObject::GetTrustLevel(level);                                      \
    }

// Buffers (winrt_facade_buffers.cpp).
QuarnWinRT::IBuffer* NewByteBuffer(const BYTE* bytes, UINT32 length);  // holds a copy of the bytes
// The bytes an IBuffer holds, as any client would read them.
bool ReadBuffer(QuarnWinRT::IBuffer* buffer, std::string* bytes);

// The activation factories (winrt_facade_buffers.cpp, winrt_facade_modem.cpp,
// winrt_facade_watcher.cpp).
IActivationFactory* NewCryptographicBufferStatics();
IActivationFactory* NewModemStatics();
IActivationFactory* NewAccountWatcherFactory();
// Waits (at most `ms`) until the running account watchers have raised every event up to
// `sequence` to their handlers; at once when no watcher is running.
void WaitAccountEventsRaised(uint64_t sequence, DWORD ms);

// The modem's device service `id` (winrt_facade_commands.cpp).
QuarnWinRT::IMobileBroadbandDeviceService* NewDeviceService(const GUID& id);

}  // namespace WinRTFacade
