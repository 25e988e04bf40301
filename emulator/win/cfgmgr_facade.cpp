// The emulator's Configuration Manager for the process under test (cfgmgr32.dll, loaded
// through a Wine DLL override): the machine's network-adapter interfaces as the model
// presents them, interface arrival and removal notifications on a thread of its own, and
// the instance-id and driver-version properties.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "compat/cfgmgr_power.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

using QuarnCompat::DEVPKEY_Device_DriverVersion;
using QuarnCompat::DEVPKEY_Device_InstanceId;
using QuarnCompat::GUID_DEVINTERFACE_NET;

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != 0; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

bool SameKey(const DEVPROPKEY* a, const DEVPROPKEY& b) {
    return a != nullptr && a->fmtid == b.fmtid && a->pid == b.pid;
}

std::vector<std::wstring> PresentInterfaces() {
    std::istringstream reply(EmuRequest("rt interfaces"));
    std::vector<std::wstring> paths;
    std::string line;
    std::getline(reply, line);
    if (line != "ok") {
        return paths;  // no emulator: a machine without network adapters
    }
    while (std::getline(reply, line)) {
        paths.push_back(Widen(line));
    }
    return paths;
}

std::wstring MultiString(const std::vector<std::wstring>& entries) {
    std::wstring list;
    for (const std::wstring& entry : entries) {
        list += entry;
        list += L'\0';
    }
    list += L'\0';
    return list;
}

// Copies a string property out in the caller's buffer, with the usual size protocol.
CONFIGRET ReturnString(const std::wstring& value, DEVPROPTYPE* type, PBYTE buffer, PULONG size) {
    if (type == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) {
        return CR_INVALID_POINTER;
    }
    const ULONG needed = static_cast<ULONG>((value.size() + 1) * sizeof(wchar_t));
    *type = DEVPROP_TYPE_STRING;
    if (*size < needed) {
        *size = needed;
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return CR_SUCCESS;
}

struct Registration {
    PVOID Context;
    PCM_NOTIFY_CALLBACK Callback;
    uint64_t Since;  // events up to this one came before the registration
};

class Notifier {
public:
    static Notifier& Instance() {
        static Notifier* notifier = new Notifier();  // lives as long as the process
        return *notifier;
    }

    HCMNOTIFICATION Register(PVOID context, PCM_NOTIFY_CALLBACK callback) {
        // Registration reports no interface that is already present, and no event that came
        // before it.
        const uint64_t since = LatestEmuEvent();
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto handle = reinterpret_cast<HCMNOTIFICATION>(++m_LastHandle);
        m_Registrations[handle] = {context, callback, since};
        if (!m_Started) {
            m_Started = true;
            StartDetachedThread(L"emu-cfgmgr", [this, since] { Run(since); });
        }
        return handle;
    }

    // Waits (at most `ms`) until every event up to `sequence` was handed to the callbacks, but
    // never on the notification thread itself, whose callbacks are the ones awaited.
    void WaitDelivered(uint64_t sequence, DWORD ms) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Started || GetCurrentThreadId() == m_ThreadId) {
            return;
        }
        m_Delivered.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_DeliveredUpTo >= sequence; });
    }

    bool Unregister(HCMNOTIFICATION handle) {
        // Holding the dispatch lock waits for a callback in flight, as the system does.
        std::lock_guard<std::mutex> dispatch(m_DispatchMutex);
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Registrations.erase(handle) == 1;
    }

private:
    void Run(uint64_t after) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_ThreadId = GetCurrentThreadId();
        }
        FollowEmuEvents(after, [] { return true; }, [this](const EmuEvent& event) {
            if (event.Kind == "arrival" || event.Kind == "removal") {
                Deliver(event.Kind == "arrival" ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
                                                : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                        Widen(event.Subject), event.Sequence);
            }
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_DeliveredUpTo = event.Sequence;
            m_Delivered.notify_all();
        });
    }

    void Deliver(CM_NOTIFY_ACTION action, const std::wstring& path, uint64_t sequence) {
        const DWORD size = static_cast<DWORD>(offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) +
                                              (path.size() + 1) * sizeof(wchar_t));
        std::vector<BYTE> bytes(size, 0);
        auto* data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(bytes.data());
        data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        data->u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_NET;
        std::memcpy(data->u.DeviceInterface.SymbolicLink, path.c_str(), (path.size() + 1) * sizeof(wchar_t));

        std::lock_guard<std::mutex> dispatch(m_DispatchMutex);
        std::vector<std::pair<HCMNOTIFICATION, Registration>> targets;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            targets.assign(m_Registrations.begin(), m_Registrations.end());
        }
        for (const auto& [handle, registration] : targets) {
            if (registration.Since < sequence) {
                registration.Callback(handle, registration.Context, action, data, size);
            }
        }
    }

    std::mutex m_Mutex;
    std::mutex m_DispatchMutex;
    std::map<HCMNOTIFICATION, Registration> m_Registrations;
    uintptr_t m_LastHandle = 0;
    bool m_Started = false;
    DWORD m_ThreadId = 0;
    std::condition_variable m_Delivered;
    uint64_t m_DeliveredUpTo = 0;
};

// A device may arrive or go right now, as scripted; its notifications then reach the
// process before the call that caused it returns.
void MeetScriptedChange(const char* request) {
    if (EmuRequest(request) == "ok changed") {
        Notifier::Instance().WaitDelivered(LatestEmuEvent(), 5000);
    }
}

// Device nodes handed out by CM_Locate_DevNodeW, by instance id.
std::mutex g_NodesMutex;
std::vector<std::wstring> g_Nodes;

}  // namespace

extern "C" {

CONFIGRET WINAPI Facade_CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID classGuid, DEVINSTID_W, ULONG) {
    if (length == nullptr || classGuid == nullptr) {
        return CR_INVALID_POINTER;
    }
    std::vector<std::wstring> paths =
        *classGuid == GUID_DEVINTERFACE_NET ? PresentInterfaces() : std::vector<std::wstring>{};
    if (!paths.empty() && EmuRequest("rt sizing") == "ok short") {
        paths.pop_back();  // as if the last one arrived right after this call
    }
    *length = static_cast<ULONG>(MultiString(paths).size());
    return CR_SUCCESS;
}

CONFIGRET WINAPI Facade_CM_Get_Device_Interface_ListW(LPGUID classGuid, DEVINSTID_W, PZZWSTR buffer, ULONG length,
                                                       ULONG) {
    if (classGuid == nullptr || buffer == nullptr) {
        return CR_INVALID_POINTER;
    }
    const std::wstring list = MultiString(*classGuid == GUID_DEVINTERFACE_NET ? PresentInterfaces()
                                                                              : std::vector<std::wstring>{});
    if (list.size() > length) {
        return CR_BUFFER_SMALL;
    }
    if (EmuRequest("rt listing") == "ok fail") {
        return CR_FAILURE;
    }
    std::memcpy(buffer, list.data(), list.size() * sizeof(wchar_t));
    MeetScriptedChange("rt listed");
    return CR_SUCCESS;
}

CONFIGRET WINAPI Facade_CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                                 PHCMNOTIFICATION handle) {
    if (filter == nullptr || callback == nullptr || handle == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (filter->cbSize != sizeof(CM_NOTIFY_FILTER) || filter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE ||
        filter->Reserved != 0) {
        return CR_INVALID_DATA;
    }
    EmuRequest("note cm register");
    *handle = Notifier::Instance().Register(context, callback);
    MeetScriptedChange("rt registered");
    return CR_SUCCESS;
}

CONFIGRET WINAPI Facade_CM_Unregister_Notification(HCMNOTIFICATION handle) {
    return Notifier::Instance().Unregister(handle) ? CR_SUCCESS : CR_INVALID_DATA;
}

CONFIGRET WINAPI Facade_CM_Get_Device_Interface_PropertyW(LPCWSTR path, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                                          PBYTE buffer, PULONG size, ULONG flags) {
    if (path == nullptr || key == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    if (!SameKey(key, DEVPKEY_Device_InstanceId)) {
        return CR_NO_SUCH_VALUE;
    }
    const std::string reply = EmuRequest("rt instance " + Narrow(path));
    if (reply.rfind("ok ", 0) != 0) {
        return CR_NO_SUCH_DEVICE_INTERFACE;
    }
    return ReturnString(Widen(reply.substr(3)), type, buffer, size);
}

CONFIGRET WINAPI Facade_CM_Locate_DevNodeW(PDEVINST devInst, DEVINSTID_W instanceId, ULONG) {
    if (devInst == nullptr || instanceId == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (EmuRequest("rt driver " + Narrow(instanceId)).rfind("ok ", 0) != 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    std::lock_guard<std::mutex> lock(g_NodesMutex);
    auto it = std::find(g_Nodes.begin(), g_Nodes.end(), std::wstring(instanceId));
    if (it == g_Nodes.end()) {
        it = g_Nodes.insert(g_Nodes.end(), instanceId);
    }
    *devInst = static_cast<DEVINST>(it - g_Nodes.begin() + 1);
    return CR_SUCCESS;
}

CONFIGRET WINAPI Facade_CM_Get_DevNode_PropertyW(DEVINST devInst, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                                 PBYTE buffer, PULONG size, ULONG) {
    std::wstring instanceId;
    {
        std::lock_guard<std::mutex> lock(g_NodesMutex);
        if (devInst == 0 || devInst > g_Nodes.size()) {
            return CR_INVALID_DEVNODE;
        }
        instanceId = g_Nodes[devInst - 1];
    }
    if (SameKey(key, DEVPKEY_Device_InstanceId)) {
        return ReturnString(instanceId, type, buffer, size);
    }
    if (!SameKey(key, DEVPKEY_Device_DriverVersion)) {
        return CR_NO_SUCH_VALUE;
    }
    const std::string reply = EmuRequest("rt driver " + Narrow(instanceId.c_str()));
    if (reply.rfind("ok ", 0) != 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    return ReturnString(Widen(reply.substr(3)), type, buffer, size);
}

}  // extern "C"
