// An outside program that uses the Mobile Broadband wrapper the way callers built with the
// platform's usual compiler do: it loads QuarnVelmora.exe as a library (so none of the
// executable's start-up runs here), looks the functions up by their decorated names,
// enumerates, connects, opens the AT service's session, sends "at+csus?\r\n" and prints
// what comes back. Exit code 0 when every step gave S_OK. With a file named after the path,
// it stays connected and, once that file exists (180 s at most), sends the command again
// as it was connected (a caller of a wrapper that lived through a restart of the mobile
// broadband service: that set may fail), then does it all again in the same process.
//   mbn_caller.exe PATH\QuarnVelmora.exe [AGAIN_FILE]
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>

namespace {

struct MbimIds {
    wchar_t szInterfaceID[64];
};

using EnumInterfaceFn = HRESULT (*)(LONG*, MbimIds*);
using ConnectInterfaceFn = HRESULT (*)(wchar_t*);
using DisconnectInterfaceFn = HRESULT (*)();
using OpenCommandSessionFn = HRESULT (*)(wchar_t*);
using CloseCommandSessionFn = BOOL (*)(wchar_t*);
using SetCommandFn = HRESULT (*)(wchar_t*, wchar_t*, ULONG, ULONG, BYTE*, ULONG*, BYTE*, ULONG);
using GetRadioStateFn = HRESULT (*)(wchar_t*, int*, int*);
using GetRegisterStateFn = HRESULT (*)(wchar_t*, int*);

template <typename T>
T Find(HMODULE module, const char* decoratedName) {
    T function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, decoratedName)));
    if (function == nullptr) {
        std::printf("missing export %s\n", decoratedName);
    }
    return function;
}

bool Report(const char* step, HRESULT hr) {
    std::printf("%s 0x%08lX\n", step, static_cast<unsigned long>(hr));
    return hr == S_OK;
}

wchar_t g_AtService[] = L"{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";

// Sends "at+csus?\r\n" and prints the answer; true when the set gave S_OK.
bool SendAtCommand(SetCommandFn setCommand) {
    char command[] = "at+csus?\r\n";
    BYTE response[4096] = {};
    ULONG size = 0;
    const HRESULT set = setCommand(nullptr, g_AtService, 1, static_cast<ULONG>(std::strlen(command)),
                                   reinterpret_cast<BYTE*>(command), &size, response, 3000);
    std::printf("\n");
    const bool ok = Report("set", set);
    std::printf("answer ");
    for (ULONG i = 0; i < size; ++i) {
        const char c = static_cast<char>(response[i]);
        std::printf(c == '\r' ? "\\r" : c == '\n' ? "\\n" : "%c", c);
    }
    std::printf("\n");
    return ok;
}

// Every step once, the disconnection unless `stayConnected`; true when each gave S_OK.
bool RunOnce(EnumInterfaceFn enumInterface, ConnectInterfaceFn connectInterface, DisconnectInterfaceFn disconnectInterface,
             OpenCommandSessionFn openSession, CloseCommandSessionFn closeSession, SetCommandFn setCommand,
             GetRadioStateFn radioState, GetRegisterStateFn registerState, bool stayConnected) {
    MbimIds ids[8] = {};
    LONG count = 0;
    bool ok = Report("enum", enumInterface(&count, ids));
    std::printf("interfaces %ld %ls\n", count, count > 0 ? ids[0].szInterfaceID : L"-");
    if (!ok || count < 1) {
        return false;
    }
    ok = Report("connect", connectInterface(ids[0].szInterfaceID)) && ok;
    ok = Report("open", openSession(g_AtService)) && ok;
    ok = SendAtCommand(setCommand) && ok;

    int software = -1;
    int hardware = -1;
    ok = Report("radio", radioState(ids[0].szInterfaceID, &software, &hardware)) && ok;
    std::printf("radio-state %d %d\n", software, hardware);
    int registration = -1;
    ok = Report("register", registerState(nullptr, &registration)) && ok;
    std::printf("register-state %d\n", registration);

    if (!stayConnected) {
        std::printf("close %d\n", closeSession(g_AtService));
        ok = Report("disconnect", disconnectInterface()) && ok;
    }
    std::fflush(stdout);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) {
        std::printf("usage: mbn_caller PATH_TO_QuarnVelmora.exe [AGAIN_FILE]\n");
        return 2;
    }
    HMODULE module = LoadLibraryW(argv[1]);
    if (module == nullptr) {
        std::printf("load failed %lu\n", GetLastError());
        return 1;
    }
    auto enumInterface = Find<EnumInterfaceFn>(module, "?EnumInterface@@YAJPEAJQEAU_MBIMIDS@@@Z");
    auto connectInterface = Find<ConnectInterfaceFn>(module, "?ConnectInterface@@YAJPEA_W@Z");
    auto disconnectInterface = Find<DisconnectInterfaceFn>(module, "?DisconnectInterface@@YAJXZ");
    auto openSession = Find<OpenCommandSessionFn>(module, "?OpenCommandSession@@YAJPEA_W@Z");
    auto closeSession = Find<CloseCommandSessionFn>(module, "?CloseCommandSession@@YAHPEA_W@Z");
    auto setCommand = Find<SetCommandFn>(module, "?SetCommand@@YAJPEA_W0KKPEAEPEAK1K@Z");
    auto radioState = Find<GetRadioStateFn>(module, "?GetRadioState@@YAJPEA_WPEAW4MBN_RADIO@@1@Z");
    auto registerState = Find<GetRegisterStateFn>(module, "?GetRegisterState@@YAJPEA_WPEAW4MBN_REGISTER_STATE@@@Z");
    if (!enumInterface || !connectInterface || !disconnectInterface || !openSession || !closeSession || !setCommand ||
        !radioState || !registerState) {
        return 1;
    }

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool ok = RunOnce(enumInterface, connectInterface, disconnectInterface, openSession, closeSession, setCommand,
                      radioState, registerState, argc == 3);
    if (argc == 3) {
        std::printf("waiting for the go\n");
        std::fflush(stdout);
        for (int waited = 0; GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES; waited += 100) {
            if (waited >= 180000) {
                std::printf("no go within 180 s\n");
                return 1;
            }
            Sleep(100);
        }
        std::printf("as connected\n");
        SendAtCommand(setCommand);
        std::printf("again\n");
        ok = RunOnce(enumInterface, connectInterface, disconnectInterface, openSession, closeSession, setCommand,
                     radioState, registerState, false) &&
             ok;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
