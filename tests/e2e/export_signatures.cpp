// The exported wrapper's signatures as a caller's Microsoft C++ compiler sees them, with the
// Windows types spelled out (no SDK here). Compiled by clang for the Microsoft ABI only to
// read the decorated names; see check_export_names.sh.
typedef long HRESULT;
typedef long LONG;
typedef unsigned long ULONG;
typedef unsigned char BYTE;
typedef int BOOL;
typedef struct _MBIMIDS {
    wchar_t szInterfaceID[64];
} MBIMIDS;
enum MBN_RADIO { MBN_RADIO_OFF, MBN_RADIO_ON };
enum MBN_ACTIVATION_STATE { MBN_ACTIVATION_STATE_NONE };
enum MBN_REGISTER_STATE { MBN_REGISTER_STATE_NONE };

HRESULT EnumInterface(LONG*, _MBIMIDS[]) { return 0; }
HRESULT ConnectInterface(wchar_t*) { return 0; }
HRESULT DisconnectInterface() { return 0; }
HRESULT OpenCommandSession(wchar_t*) { return 0; }
BOOL CloseCommandSession(wchar_t*) { return 0; }
HRESULT SetCommand(wchar_t*, wchar_t*, ULONG, ULONG, BYTE*, ULONG*, BYTE*, ULONG) { return 0; }
HRESULT QueryCommand(wchar_t*, wchar_t*, ULONG, ULONG, BYTE*, ULONG*, BYTE*) { return 0; }
HRESULT GetRadioState(wchar_t*, MBN_RADIO*, MBN_RADIO*) { return 0; }
HRESULT GetConnectionState(wchar_t*, MBN_ACTIVATION_STATE*) { return 0; }
HRESULT GetRegisterState(wchar_t*, MBN_REGISTER_STATE*) { return 0; }
