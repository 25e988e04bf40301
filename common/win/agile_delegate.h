// The IUnknown part of a delegate the application hands to the Windows Runtime: reference
// counted, answering its own IID, IUnknown and IAgileObject (the runtime may call it on
// any thread). Derived classes implement Invoke.
#pragma once

#include <windows.h>

#include <atomic>

#include "compat/winrt_network_operators.h"

template <typename Interface, const GUID& kIid>
class AgileDelegate : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (iid == kIid || iid == __uuidof(IUnknown) || iid == QuarnWinRT::IID_IAgileObject) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_References;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~AgileDelegate() = default;

private:
    std::atomic<ULONG> m_References{1};
};
