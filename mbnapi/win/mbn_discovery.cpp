// Discovery of mobile-broadband interfaces: the interface manager's list as identifiers,
// and the first interface as the one to connect.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <climits>

#include "common/win/com_ptr.h"
#include "mbnapi/element_copy.h"
#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/mbn_module.h"
#include "trace/trace.h"

using namespace QuarnMbn;

namespace {
constexpr int DETECT_RECORDS = 32;
}  // namespace

HRESULT EnumInterfaceRecords(LONG* count, _MBIMIDS ids[], ULONG capacity) {
    if (count == nullptr || ids == nullptr) {
        if (count != nullptr) {
            *count = 0;
        }
        return E_POINTER;
    }
    *count = 0;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    IMbnInterfaceManager* created = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                  reinterpret_cast<void**>(&created));
    if ((FAILED(hr) && hr != RPC_E_CHANGED_MODE) || created == nullptr) {
        LOG_INFO("[INFO] EnumInterface : InitInterfaceMgr FAILED\n");
        return FAILED(hr) ? hr : E_POINTER;
    }
    // The manager replaced is released; a failed creation keeps the one held.
    Publish(g_InterfaceMgr, created);

    SAFEARRAY* interfaces = nullptr;
    hr = g_InterfaceMgr->GetInterfaces(&interfaces);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] EnumInterface : GetInterfaces FAILED\n");
        return hr;
    }
    GUID* guids = nullptr;
    ULONG found = 0;
    hr = InterfaceCopyArray(&guids, interfaces, &found);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] EnumInterface : InterfaceCopyArray FAILED\n");
    } else {
        for (ULONG i = 0; i < found; ++i) {
            LPOLESTR text = nullptr;
            hr = StringFromIID(guids[i], &text);
            if (FAILED(hr)) {
                LOG_INFO("[INFO] EnumInterface : StringFromIID FAILED\n");
                break;
            }
            if (i < capacity) {
                CopyIdentifier(ids[i].szInterfaceID, text);
            }
            CoTaskMemFree(text);
        }
    }
    if (interfaces != nullptr) {
        SafeArrayDestroy(interfaces);
    }
    CoTaskMemFree(guids);
    if (hr == S_OK) {
        *count = static_cast<LONG>(found < capacity ? found : capacity);
    }
    return hr;
}

HRESULT InterfaceCopyArray(GUID** array, SAFEARRAY* interfaces, ULONG* count) {
    if (array == nullptr || interfaces == nullptr || count == nullptr) {
        return E_POINTER;
    }
    *array = nullptr;
    *count = 0;
    LONG lower = 0;
    LONG upper = 0;
    HRESULT hr = SafeArrayGetLBound(interfaces, 1, &lower);
    if (FAILED(hr)) {
        return hr;
    }
    hr = SafeArrayGetUBound(interfaces, 1, &upper);
    if (FAILED(hr)) {
        return hr;
    }
    // Elements are read into one interface pointer each: any other shape would be written
    // past it, and only interface arrays give references that are ours to release.
    VARTYPE type = VT_EMPTY;
    if (SafeArrayGetDim(interfaces) != 1 || SafeArrayGetElemsize(interfaces) != sizeof(IUnknown*) ||
        FAILED(SafeArrayGetVartype(interfaces, &type)) || (type != VT_UNKNOWN && type != VT_DISPATCH)) {
        return E_INVALIDARG;
    }
    const uint64_t total = ElementCountOf(lower, upper);
    GUID* guids = nullptr;
    if (total > 0) {
        if (total > ULONG_MAX / sizeof(GUID)) {
            return E_OUTOFMEMORY;
        }
        guids = static_cast<GUID*>(CoTaskMemAlloc(static_cast<SIZE_T>(total * sizeof(GUID))));
        if (guids == nullptr) {
            return E_OUTOFMEMORY;
        }
    }
    ULONG appended = 0;
    for (int64_t index = lower; index <= upper; ++index) {
        LONG at = static_cast<LONG>(index);
        ComPtr<IUnknown> element;
        hr = SafeArrayGetElement(interfaces, &at, element.Put());
        if (FAILED(hr)) {
            continue;
        }
        ComPtr<IMbnInterface> mbnInterface;
        hr = element ? element->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(mbnInterface.Put()))
                     : E_POINTER;
        if (FAILED(hr)) {
            continue;
        }
        BSTR id = nullptr;
        hr = mbnInterface->get_InterfaceID(&id);
        if (SUCCEEDED(hr)) {
            GUID guid{};
            hr = id != nullptr ? IIDFromString(id, &guid) : E_POINTER;
            if (SUCCEEDED(hr)) {
                guids[appended++] = guid;
            }
        }
        SysFreeString(id);
    }
    *array = guids;
    *count = appended;
    return appended > 0 ? S_OK : hr;
}

namespace MbnWrapper {

HRESULT EnumInterface(LONG* count, _MBIMIDS ids[]) {
    OperationScope operation;
    return EnumInterfaceRecords(count, ids, ULONG_MAX);
}

}  // namespace MbnWrapper

HRESULT DetectMbInterface() {
    _MBIMIDS records[DETECT_RECORDS] = {};
    LONG count = 0;
    const HRESULT hr = EnumInterfaceRecords(&count, records, DETECT_RECORDS);
    if (FAILED(hr)) {
        LOG_INFO("[INFO] DetectMbInterface : EnumInterface FAILED\n");
        return E_FAIL;
    }
    LOG_INFO("[INFO] DetectMbInterface : Succeeded Found %d interfaces\n", static_cast<int>(count));
    if (count < 1) {
        LOG_INFO("[INFO] DetectMbInterface : Interface INVALID\n");
        return E_FAIL;
    }
    CopyIdentifier(g_InterfaceID, records[0].szInterfaceID);
    LOG_INFO("[INFO] DetectMbInterface : Interface set to %ls\n", g_InterfaceID);
    return hr;
}
