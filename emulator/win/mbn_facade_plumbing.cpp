// The Mobile Broadband facade's plumbing: helpers, the sink registry with its delivery tracking, connection points.
#include "emulator/win/mbn_facade_internal.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "emulator/win/emu_channel.h"

namespace MbnFacade {

// ---------------------------------------------------------------------------------------
// Text and model helpers.

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::string NarrowUpper(const wchar_t* text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) {
        const wchar_t c = *text;
        narrow += static_cast<char>(c >= L'a' && c <= L'z' ? c - L'a' + L'A' : (c < 0x80 && c > L' ' ? c : L'?'));
    }
    return narrow;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool IsOk(const std::vector<std::string>& words) { return !words.empty() && words[0] == "ok"; }

HRESULT ParseHresult(const std::string& text) { return static_cast<HRESULT>(std::stoul(text, nullptr, 16)); }

std::string HexResult(HRESULT value) {
    char text[11];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

bool Scripted(const std::vector<std::string>& reply, HRESULT* result) {
    if (reply.size() != 3 || reply[0] != "ok" || reply[1] != "fail") {
        return false;
    }
    *result = ParseHresult(reply[2]);
    return true;
}

std::vector<std::string> PresentInterfaces() {
    std::vector<std::string> words = Words(EmuRequest("mbn rt interfaces"));
    if (!IsOk(words)) {
        return {};  // no emulator: a machine without a modem
    }
    words.erase(words.begin());
    return words;
}

HRESULT MakeBstr(const std::string& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocString(Widen(text).c_str());
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

SAFEARRAY* ByteArray(const std::string& bytes) {
    if (bytes.empty()) {
        return nullptr;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    if (array != nullptr && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
    }
    return array;
}

HRESULT ReadByteArray(SAFEARRAY* array, std::string* bytes) {
    bytes->clear();
    if (array == nullptr) {
        return S_OK;
    }
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(array, &type)) || type != VT_UI1 || SafeArrayGetDim(array) != 1) {
        return E_INVALIDARG;
    }
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
        return E_INVALIDARG;
    }
    bytes->assign(static_cast<const char*>(data), static_cast<std::size_t>(upper - lower + 1));
    SafeArrayUnaccessData(array);
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// COM plumbing.

std::atomic<long> g_LiveObjects{0};

SinkRegistry& SinkRegistry::Instance() {
    static SinkRegistry* registry = new SinkRegistry();  // lives as long as the process
    return *registry;
}

uint64_t ServiceLife() {
    const std::vector<std::string> reply = Words(EmuRequest("service life"));
    return IsOk(reply) && reply.size() == 3 ? std::stoull(reply[1]) : 0;
}

HRESULT ServiceAnswer(uint64_t life) {
    const std::vector<std::string> reply = Words(EmuRequest("service life"));
    if (!IsOk(reply) || reply.size() != 3) {
        return S_OK;  // no model: no service life to follow
    }
    if (reply[2] == "down") {
        return static_cast<HRESULT>(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
    }
    return std::stoull(reply[1]) == life ? S_OK : static_cast<HRESULT>(0x80010108);  // RPC_E_DISCONNECTED
}

DWORD SinkRegistry::Add(const GUID& iid, IUnknown* sink, uint64_t life) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const DWORD cookie = ++m_LastCookie;
    m_Sinks[cookie] = {iid, sink, life};
    return cookie;
}

IUnknown* SinkRegistry::Remove(const GUID& iid, DWORD cookie) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto it = m_Sinks.find(cookie);
    if (it == m_Sinks.end() || it->second.Iid != iid) {
        return nullptr;
    }
    IUnknown* sink = it->second.Sink;
    m_Sinks.erase(it);
    return sink;
}

std::vector<IUnknown*> SinkRegistry::Snapshot(const GUID& iid) {
    // A service that is down delivers nothing, and a restarted one only to sinks advised
    // since: the old subscriptions fell silent with the old service.
    const std::vector<std::string> life = Words(EmuRequest("service life"));
    const bool followed = IsOk(life) && life.size() == 3;
    if (followed && life[2] == "down") {
        return {};
    }
    std::vector<IUnknown*> sinks;
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& entry : m_Sinks) {
        if (entry.second.Iid == iid && (!followed || entry.second.Life == std::stoull(life[1]))) {
            entry.second.Sink->AddRef();
            sinks.push_back(entry.second.Sink);
        }
    }
    return sinks;
}

void SinkRegistry::DeliverTo(const std::vector<IUnknown*>& sinks, const std::function<void(IUnknown*)>& call) {
    const DWORD self = GetCurrentThreadId();
    for (IUnknown* sink : sinks) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            ++m_InProgress[self];
        }
        call(sink);
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (--m_InProgress[self] == 0) {
                m_InProgress.erase(self);
            }
        }
        m_Returned.notify_all();
        sink->Release();
    }
}

bool SinkRegistry::WaitForDeliveriesElsewhere(DWORD timeoutMs) {
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Returned.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return m_InProgress.empty() || (m_InProgress.size() == 1 && m_InProgress.count(self) == 1);
    });
}

namespace {

class ConnectionPoint final : public ComObject<ConnectionPoint, IConnectionPoint> {
public:
    ConnectionPoint(IConnectionPointContainer* container, const EventInterface& events)
        : m_Container(container), m_Events(events) {
        m_Container->AddRef();
    }

    void* Find(REFIID iid) { return iid == IID_IConnectionPoint ? static_cast<IConnectionPoint*>(this) : nullptr; }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (iid == nullptr) {
            return E_POINTER;
        }
        *iid = *m_Events.Iid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (container == nullptr) {
            return E_POINTER;
        }
        m_Container->AddRef();
        *container = m_Container;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (sink == nullptr || cookie == nullptr) {
            return E_POINTER;
        }
        *cookie = 0;
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            return gone;
        }
        void* typed = nullptr;
        if (FAILED(sink->QueryInterface(*m_Events.Iid, &typed)) || typed == nullptr) {
            return CONNECT_E_CANNOTCONNECT;
        }
        HRESULT scripted = S_OK;
        if (Scripted(Words(EmuRequest(std::string("mbn rt advise ") + m_Events.Name)), &scripted)) {
            static_cast<IUnknown*>(typed)->Release();
            return scripted;
        }
        *cookie = SinkRegistry::Instance().Add(*m_Events.Iid, static_cast<IUnknown*>(typed), ServiceLife());
        StartFollowingModel();
        DeliverNested();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        IUnknown* sink = SinkRegistry::Instance().Remove(*m_Events.Iid, cookie);
        if (sink == nullptr) {
            return CONNECT_E_NOCONNECTION;
        }
        // A gone service's subscription answers so; the sink's reference goes with it, as the
        // system lets go of a dead client's objects (and the live-object count tells).
        if (const HRESULT gone = ServiceGone(); FAILED(gone)) {
            sink->Release();
            return gone;
        }
        const std::vector<std::string> reply = Words(EmuRequest(std::string("mbn rt unadvise ") + m_Events.Name));
        if (reply.size() == 2 && reply[1] == "wait" && !SinkRegistry::Instance().WaitForDeliveriesElsewhere(kStuckMs)) {
            EmuRequest(std::string("note mbn unadvise ") + m_Events.Name + " stuck");
        }
        sink->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    ~ConnectionPoint() override { m_Container->Release(); }
    friend class ComObject<ConnectionPoint, IConnectionPoint>;

    IConnectionPointContainer* const m_Container;
    const EventInterface m_Events;
};

}  // namespace

HRESULT FindPoint(IConnectionPointContainer* container, std::initializer_list<const EventInterface*> offered,
                  REFIID iid, IConnectionPoint** point) {
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    for (const EventInterface* events : offered) {
        if (*events->Iid != iid) {
            continue;
        }
        const std::vector<std::string> reply = Words(EmuRequest(std::string("mbn rt find ") + events->Name));
        if (reply.size() == 2 && reply[0] == "ok" && reply[1] == "null") {
            return S_OK;
        }
        HRESULT scripted = S_OK;
        if (Scripted(reply, &scripted)) {
            return scripted;
        }
        *point = new ConnectionPoint(container, *events);
        return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
}

}  // namespace MbnFacade
