// The Mobile Broadband facade's notifications: the model's events and the nested deliveries.
#include "emulator/win/mbn_facade_internal.h"

#include <memory>
#include <sstream>

#include "common/win/com_ptr.h"
#include "emulator/win/detached_thread.h"
#include "emulator/win/emu_channel.h"

namespace MbnFacade {

namespace {

template <typename Sink>
void DeliverToInterfaceSinks(const EventInterface& events, const std::string& id,
                             const std::function<void(Sink*, Interface*)>& call) {
    ComPtr<Interface> item(new Interface(id));
    SinkRegistry::Instance().Deliver<Sink>(*events.Iid, [&](Sink* sink) { call(sink, item.Get()); });
}

// "ID;A;B" -> {ID, A, B}
std::vector<std::string> SplitSubject(const std::string& subject) {
    std::vector<std::string> parts;
    std::istringstream in(subject);
    for (std::string part; std::getline(in, part, ';');) {
        parts.push_back(part);
    }
    return parts;
}

constexpr char kAtService[] = "{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";

// A signal notification whose delivery has begun (its sinks taken) but not reached them yet.
struct HeldNotification {
    std::mutex Mutex;
    std::string Id;
    std::vector<IUnknown*> Sinks;
    bool Armed = false;
};

HeldNotification& Held() {
    static HeldNotification* held = new HeldNotification();  // lives as long as the process
    return *held;
}

// "mbn notify signal held": the delivery takes its sinks now and reaches them only when the
// client has let go of its last interface object, which Unadvise, not waiting for deliveries
// under way, allows: as late as a notification can come.
void HoldSignalNotification(const std::string& id) {
    HeldNotification& held = Held();
    {
        std::lock_guard<std::mutex> lock(held.Mutex);
        for (IUnknown* sink : held.Sinks) {
            sink->Release();
        }
        held.Id = id;
        held.Sinks = SinkRegistry::Instance().Snapshot(IID_IMbnSignalEvents);
        held.Armed = true;
    }
    EmuRequest("note mbn signal held");
    if (g_InterfaceObjects.load() == 0) {
        DeliverHeld();
    }
}

void DeliverModelEvent(const EmuEvent& event) {
    const std::string& kind = event.Kind;
    if (kind == "mbn-arrival" || kind == "mbn-removal") {
        DeliverToInterfaceSinks<IMbnInterfaceManagerEvents>(
            kInterfaceManagerEvents, event.Subject, [&](IMbnInterfaceManagerEvents* sink, Interface* item) {
                if (kind == "mbn-arrival") {
                    sink->OnInterfaceArrival(item);
                } else {
                    sink->OnInterfaceRemoval(item);
                }
            });
    } else if (kind == "mbn-ready") {
        DeliverToInterfaceSinks<IMbnInterfaceEvents>(kInterfaceEvents, event.Subject,
                                                     [](IMbnInterfaceEvents* sink, Interface* item) {
                                                         sink->OnReadyStateChange(item);
                                                     });
    } else if (kind == "mbn-register") {
        DeliverToInterfaceSinks<IMbnRegistrationEvents>(kRegistrationEvents, event.Subject,
                                                        [](IMbnRegistrationEvents* sink, Interface* item) {
                                                            sink->OnRegisterStateChange(item);
                                                        });
    } else if (kind == "mbn-signal") {
        DeliverToInterfaceSinks<IMbnSignalEvents>(kSignalEvents, event.Subject,
                                                  [](IMbnSignalEvents* sink, Interface* item) {
                                                      sink->OnSignalStateChange(item);
                                                  });
    } else if (kind == "mbn-signal-held") {
        HoldSignalNotification(event.Subject);
    } else if (kind == "mbn-radio") {
        DeliverToInterfaceSinks<IMbnRadioEvents>(kRadioEvents, event.Subject,
                                                 [](IMbnRadioEvents* sink, Interface* item) {
                                                     sink->OnRadioStateChange(item);
                                                 });
    } else if (kind == "mbn-set-complete" || kind == "mbn-query-complete") {
        const std::vector<std::string> parts = SplitSubject(event.Subject);  // ID;REQUEST_ID;STATUS
        if (parts.size() != 3) {
            return;
        }
        ComPtr<IMbnDeviceService> service(NewDeviceService(parts[0], kAtService));
        const ULONG requestId = std::stoul(parts[1]);
        const HRESULT status = ParseHresult(parts[2]);
        SinkRegistry::Instance().Deliver<IMbnDeviceServicesEvents>(
            IID_IMbnDeviceServicesEvents, [&](IMbnDeviceServicesEvents* sink) {
                if (kind == "mbn-set-complete") {
                    sink->OnSetCommandComplete(service.Get(), 1, nullptr, status, requestId);
                } else {
                    sink->OnQueryCommandComplete(service.Get(), 1, nullptr, status, requestId);
                }
            });
    } else if (kind == "mbn-supported") {
        const std::vector<std::string> parts = SplitSubject(event.Subject);  // ID;COUNT
        if (parts.size() != 2) {
            return;
        }
        ComPtr<IMbnDeviceService> service(NewDeviceService(parts[0], kAtService));
        const ULONG count = std::stoul(parts[1]);
        SAFEARRAY* ids = SafeArrayCreateVector(VT_UI4, 0, count);
        for (LONG i = 0; ids != nullptr && i < static_cast<LONG>(count); ++i) {
            ULONG value = static_cast<ULONG>(i) + 1;
            SafeArrayPutElement(ids, &i, &value);
        }
        SinkRegistry::Instance().Deliver<IMbnDeviceServicesEvents>(
            IID_IMbnDeviceServicesEvents, [&](IMbnDeviceServicesEvents* sink) {
                sink->OnQuerySupportedCommandsComplete(service.Get(), ids, S_OK, 0);
            });
        if (ids != nullptr) {
            SafeArrayDestroy(ids);
        }
    }
}

}  // namespace

// As scripted ("mbn fault nested on"): a ready-state notification of the first present
// interface, delivered on another thread while the caller's call is still running, and the
// call returns only after the delivery has: a client that holds its own lock across the
// call while its sink needs that lock would wait here for ever (given up after kStuckMs).
void DeliverNested() {
    const std::vector<std::string> reply = Words(EmuRequest("mbn rt nested"));
    if (reply.size() != 2) {
        return;
    }
    const std::shared_ptr<void> done(CreateEventW(nullptr, TRUE, FALSE, nullptr), CloseHandle);
    const std::string id = reply[1];
    StartDetachedThread(L"emu-mbn-nested", [done, id] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        DeliverToInterfaceSinks<IMbnInterfaceEvents>(
            kInterfaceEvents, id, [](IMbnInterfaceEvents* sink, Interface* item) { sink->OnReadyStateChange(item); });
        SetEvent(done.get());
    });
    if (WaitForSingleObject(done.get(), kStuckMs) != WAIT_OBJECT_0) {
        EmuRequest("note mbn nested delivery stuck");
    }
}

std::atomic<long> g_InterfaceObjects{0};

void DeliverHeld() {
    HeldNotification& held = Held();
    std::string id;
    std::vector<IUnknown*> sinks;
    {
        std::lock_guard<std::mutex> lock(held.Mutex);
        if (!held.Armed) {
            return;
        }
        held.Armed = false;
        id = held.Id;
        sinks.swap(held.Sinks);
    }
    const std::shared_ptr<void> done(CreateEventW(nullptr, TRUE, FALSE, nullptr), CloseHandle);
    StartDetachedThread(L"emu-mbn-held", [done, id, sinks] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ComPtr<Interface> item(new Interface(id));
        SinkRegistry::Instance().DeliverTo(sinks, [&](IUnknown* sink) {
            static_cast<IMbnSignalEvents*>(sink)->OnSignalStateChange(item.Get());
        });
        SetEvent(done.get());
    });
    if (WaitForSingleObject(done.get(), kStuckMs) != WAIT_OBJECT_0) {
        EmuRequest("note mbn held delivery stuck");
    }
}

void StartFollowingModel() {
    static std::once_flag started;
    std::call_once(started, [] {
        const uint64_t after = LatestEmuEvent();
        StartDetachedThread(L"emu-mbn-events", [after] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            FollowEmuEvents(after, [] { return true; }, DeliverModelEvent);
        });
    });
}

}  // namespace MbnFacade
