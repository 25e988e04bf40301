// Checks compat/mbn_api.h against the facts file gathered from public Windows metadata, read
// at test time: every IID, CLSID, enum value and constant, for every method its vtable slot,
// return type and parameter types as the compiler laid them out, and the struct layouts. A
// wrong digit, a method out of order or two swapped 32-bit arguments would otherwise only
// show up as a crash, E_NOINTERFACE or garbage on a real Windows machine.
#include "compat/mbn_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "compat/api_facts_test_support.h"

namespace {

using namespace api_facts;

// ---- What the header declares -------------------------------------------------------------





// Spells a C++ type the way the facts do ("IMbnInterface**", "BSTR*", "LPCWSTR"), so that a
// ULONG/HRESULT swap or a BSTR/LPCWSTR mix-up is caught, not just a wrong pointer depth.
// Unlisted types spell as "?", which never matches.
template <class T>
struct TypeName {
    static std::string Get() { return "?"; }
};
template <class T>
struct TypeName<T*> {
    static std::string Get() { return TypeName<T>::Get() + "*"; }
};
#define QM_TYPE_NAME(Type, Text)                     \
    template <>                                      \
    struct TypeName<Type> {                          \
        static std::string Get() { return Text; }    \
    };
#define QM_MBN_TYPE(Name) QM_TYPE_NAME(QuarnMbn::Name, #Name)

// Distinct C++ types in mingw-w64: unsigned long, long, int, short, wchar_t*, const wchar_t*.
static_assert(!std::is_same<ULONG, HRESULT>::value && !std::is_same<BOOL, HRESULT>::value &&
                  !std::is_same<BSTR, LPCWSTR>::value,
              "type spelling relies on these being distinct");
QM_TYPE_NAME(ULONG, "ULONG")
QM_TYPE_NAME(HRESULT, "HRESULT")
QM_TYPE_NAME(BOOL, "BOOL")
QM_TYPE_NAME(VARIANT_BOOL, "VARIANT_BOOL")
QM_TYPE_NAME(BSTR, "BSTR")
QM_TYPE_NAME(LPCWSTR, "LPCWSTR")
QM_TYPE_NAME(SAFEARRAY, "SAFEARRAY")
QM_MBN_TYPE(IMbnInterfaceManager)
QM_MBN_TYPE(IMbnInterface)
QM_MBN_TYPE(IMbnRadio)
QM_MBN_TYPE(IMbnRegistration)
QM_MBN_TYPE(IMbnSignal)
QM_MBN_TYPE(IMbnConnectionManager)
QM_MBN_TYPE(IMbnConnection)
QM_MBN_TYPE(IMbnConnectionProfileManager)
QM_MBN_TYPE(IMbnDeviceServicesManager)
QM_MBN_TYPE(IMbnDeviceServicesContext)
QM_MBN_TYPE(IMbnDeviceService)
QM_MBN_TYPE(IMbnSubscriberInformation)
QM_MBN_TYPE(IMbnConnectionProfile)
QM_MBN_TYPE(MBN_INTERFACE_CAPS)
QM_MBN_TYPE(MBN_PROVIDER)
QM_MBN_TYPE(MBN_DEVICE_SERVICE)
QM_MBN_TYPE(MBN_CELLULAR_CLASS)
QM_MBN_TYPE(MBN_VOICE_CLASS)
QM_MBN_TYPE(MBN_RADIO)
QM_MBN_TYPE(MBN_ACTIVATION_STATE)
QM_MBN_TYPE(MBN_REGISTER_STATE)
QM_MBN_TYPE(MBN_READY_STATE)
QM_MBN_TYPE(MBN_CONNECTION_MODE)
QM_MBN_TYPE(MBN_REGISTER_MODE)
QM_MBN_TYPE(MBN_DEVICE_SERVICES_INTERFACE_STATE)
QM_MBN_TYPE(MBN_VOICE_CALL_STATE)

struct DeclaredInterface {
    std::string name;
    GUID iid;
    GUID uuid;
    bool unknown;
    bool dispatch;
    long slot_count;
};

#define QM_INTERFACE(Name)                                                            \
    DeclaredInterface {                                                               \
        #Name, QuarnMbn::IID_##Name, __uuidof(QuarnMbn::Name),                        \
            std::is_base_of<IUnknown, QuarnMbn::Name>::value,                         \
            std::is_base_of<IDispatch, QuarnMbn::Name>::value, SlotCount<QuarnMbn::Name>() \
    }

std::vector<DeclaredInterface> DeclaredInterfaces() {
    return {
        QM_INTERFACE(IMbnInterfaceManager),
        QM_INTERFACE(IMbnInterface),
        QM_INTERFACE(IMbnRadio),
        QM_INTERFACE(IMbnRegistration),
        QM_INTERFACE(IMbnSignal),
        QM_INTERFACE(IMbnConnectionManager),
        QM_INTERFACE(IMbnConnection),
        QM_INTERFACE(IMbnConnectionProfileManager),
        QM_INTERFACE(IMbnDeviceServicesManager),
        QM_INTERFACE(IMbnDeviceServicesContext),
        QM_INTERFACE(IMbnDeviceService),
        QM_INTERFACE(IMbnRadioEvents),
        QM_INTERFACE(IMbnRegistrationEvents),
        QM_INTERFACE(IMbnSignalEvents),
        QM_INTERFACE(IMbnInterfaceEvents),
        QM_INTERFACE(IMbnInterfaceManagerEvents),
        QM_INTERFACE(IMbnConnectionManagerEvents),
        QM_INTERFACE(IMbnConnectionEvents),
        QM_INTERFACE(IMbnDeviceServicesEvents),
    };
}

struct DeclaredClass {
    std::string name;  // CLSID_…
    GUID clsid;
};

#define QM_CLASS(Name) DeclaredClass{"CLSID_" #Name, QuarnMbn::CLSID_##Name}

std::vector<DeclaredClass> DeclaredClasses() {
    return {
        QM_CLASS(MbnInterfaceManager),
        QM_CLASS(MbnConnectionManager),
        QM_CLASS(MbnConnectionProfileManager),
        QM_CLASS(MbnDeviceServicesManager),
    };
}

struct DeclaredMethod {
    std::string interface_name;
    std::string name;
    long slot;
    bool returns_hresult;
    std::vector<std::string> params;
};

template <class Class, class Result, class... Params>
DeclaredMethod Describe(const char* interface_name, const char* name, Result (Class::*member)(Params...)) {
    return {interface_name, name, SlotOf(member), std::is_same<Result, HRESULT>::value,
            {TypeName<Params>::Get()...}};
}

#define QM_METHOD(Interface, Name) Describe(#Interface, #Name, &QuarnMbn::Interface::Name)

std::vector<DeclaredMethod> DeclaredMethods() {
    return {
        QM_METHOD(IMbnInterfaceManager, GetInterface),
        QM_METHOD(IMbnInterfaceManager, GetInterfaces),

        QM_METHOD(IMbnInterface, get_InterfaceID),
        QM_METHOD(IMbnInterface, GetInterfaceCapability),
        QM_METHOD(IMbnInterface, GetSubscriberInformation),
        QM_METHOD(IMbnInterface, GetReadyState),
        QM_METHOD(IMbnInterface, InEmergencyMode),
        QM_METHOD(IMbnInterface, GetHomeProvider),
        QM_METHOD(IMbnInterface, GetPreferredProviders),
        QM_METHOD(IMbnInterface, SetPreferredProviders),
        QM_METHOD(IMbnInterface, GetVisibleProviders),
        QM_METHOD(IMbnInterface, ScanNetwork),
        QM_METHOD(IMbnInterface, GetConnection),

        QM_METHOD(IMbnRadio, get_SoftwareRadioState),
        QM_METHOD(IMbnRadio, get_HardwareRadioState),
        QM_METHOD(IMbnRadio, SetSoftwareRadioState),

        QM_METHOD(IMbnRegistration, GetRegisterState),
        QM_METHOD(IMbnRegistration, GetRegisterMode),
        QM_METHOD(IMbnRegistration, GetProviderID),
        QM_METHOD(IMbnRegistration, GetProviderName),
        QM_METHOD(IMbnRegistration, GetRoamingText),
        QM_METHOD(IMbnRegistration, GetAvailableDataClasses),
        QM_METHOD(IMbnRegistration, GetCurrentDataClass),
        QM_METHOD(IMbnRegistration, GetRegistrationNetworkError),
        QM_METHOD(IMbnRegistration, GetPacketAttachNetworkError),
        QM_METHOD(IMbnRegistration, SetRegisterMode),

        QM_METHOD(IMbnSignal, GetSignalStrength),
        QM_METHOD(IMbnSignal, GetSignalError),

        QM_METHOD(IMbnConnectionManager, GetConnection),
        QM_METHOD(IMbnConnectionManager, GetConnections),

        QM_METHOD(IMbnConnection, get_ConnectionID),
        QM_METHOD(IMbnConnection, get_InterfaceID),
        QM_METHOD(IMbnConnection, Connect),
        QM_METHOD(IMbnConnection, Disconnect),
        QM_METHOD(IMbnConnection, GetConnectionState),
        QM_METHOD(IMbnConnection, GetVoiceCallState),
        QM_METHOD(IMbnConnection, GetActivationNetworkError),

        QM_METHOD(IMbnConnectionProfileManager, GetConnectionProfiles),
        QM_METHOD(IMbnConnectionProfileManager, GetConnectionProfile),
        QM_METHOD(IMbnConnectionProfileManager, CreateConnectionProfile),

        QM_METHOD(IMbnDeviceServicesManager, GetDeviceServicesContext),

        QM_METHOD(IMbnDeviceServicesContext, EnumerateDeviceServices),
        QM_METHOD(IMbnDeviceServicesContext, GetDeviceService),
        QM_METHOD(IMbnDeviceServicesContext, get_MaxCommandSize),
        QM_METHOD(IMbnDeviceServicesContext, get_MaxDataSize),

        QM_METHOD(IMbnDeviceService, QuerySupportedCommands),
        QM_METHOD(IMbnDeviceService, OpenCommandSession),
        QM_METHOD(IMbnDeviceService, CloseCommandSession),
        QM_METHOD(IMbnDeviceService, SetCommand),
        QM_METHOD(IMbnDeviceService, QueryCommand),
        QM_METHOD(IMbnDeviceService, OpenDataSession),
        QM_METHOD(IMbnDeviceService, CloseDataSession),
        QM_METHOD(IMbnDeviceService, WriteData),
        QM_METHOD(IMbnDeviceService, get_InterfaceID),
        QM_METHOD(IMbnDeviceService, get_DeviceServiceID),
        QM_METHOD(IMbnDeviceService, get_IsCommandSessionOpen),
        QM_METHOD(IMbnDeviceService, get_IsDataSessionOpen),

        QM_METHOD(IMbnRadioEvents, OnRadioStateChange),
        QM_METHOD(IMbnRadioEvents, OnSetSoftwareRadioStateComplete),

        QM_METHOD(IMbnRegistrationEvents, OnRegisterModeAvailable),
        QM_METHOD(IMbnRegistrationEvents, OnRegisterStateChange),
        QM_METHOD(IMbnRegistrationEvents, OnPacketServiceStateChange),
        QM_METHOD(IMbnRegistrationEvents, OnSetRegisterModeComplete),

        QM_METHOD(IMbnSignalEvents, OnSignalStateChange),

        QM_METHOD(IMbnInterfaceEvents, OnInterfaceCapabilityAvailable),
        QM_METHOD(IMbnInterfaceEvents, OnSubscriberInformationChange),
        QM_METHOD(IMbnInterfaceEvents, OnReadyStateChange),
        QM_METHOD(IMbnInterfaceEvents, OnEmergencyModeChange),
        QM_METHOD(IMbnInterfaceEvents, OnHomeProviderAvailable),
        QM_METHOD(IMbnInterfaceEvents, OnPreferredProvidersChange),
        QM_METHOD(IMbnInterfaceEvents, OnSetPreferredProvidersComplete),
        QM_METHOD(IMbnInterfaceEvents, OnScanNetworkComplete),

        QM_METHOD(IMbnInterfaceManagerEvents, OnInterfaceArrival),
        QM_METHOD(IMbnInterfaceManagerEvents, OnInterfaceRemoval),

        QM_METHOD(IMbnConnectionManagerEvents, OnConnectionArrival),
        QM_METHOD(IMbnConnectionManagerEvents, OnConnectionRemoval),

        QM_METHOD(IMbnConnectionEvents, OnConnectComplete),
        QM_METHOD(IMbnConnectionEvents, OnDisconnectComplete),
        QM_METHOD(IMbnConnectionEvents, OnConnectStateChange),
        QM_METHOD(IMbnConnectionEvents, OnVoiceCallStateChange),

        QM_METHOD(IMbnDeviceServicesEvents, OnQuerySupportedCommandsComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnOpenCommandSessionComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnCloseCommandSessionComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnSetCommandComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnQueryCommandComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnEventNotification),
        QM_METHOD(IMbnDeviceServicesEvents, OnOpenDataSessionComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnCloseDataSessionComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnWriteDataComplete),
        QM_METHOD(IMbnDeviceServicesEvents, OnReadData),
        QM_METHOD(IMbnDeviceServicesEvents, OnInterfaceStateChange),
    };
}

struct DeclaredEnumValue {
    std::string enum_name;
    std::string name;
    long long value;
    std::size_t size;
    bool of_enum_type;  // the enumerator belongs to that enum, not merely has its value
};

#define QM_ENUM(Enum, Name)                                                                         \
    DeclaredEnumValue {                                                                             \
        #Enum, #Name, static_cast<long long>(QuarnMbn::Name), sizeof(QuarnMbn::Enum),               \
            std::is_same<std::remove_cv_t<decltype(QuarnMbn::Name)>, QuarnMbn::Enum>::value         \
    }

std::vector<DeclaredEnumValue> DeclaredEnumValues() {
    return {
        QM_ENUM(MBN_RADIO, MBN_RADIO_OFF),
        QM_ENUM(MBN_RADIO, MBN_RADIO_ON),
        QM_ENUM(MBN_ACTIVATION_STATE, MBN_ACTIVATION_STATE_NONE),
        QM_ENUM(MBN_ACTIVATION_STATE, MBN_ACTIVATION_STATE_ACTIVATED),
        QM_ENUM(MBN_ACTIVATION_STATE, MBN_ACTIVATION_STATE_ACTIVATING),
        QM_ENUM(MBN_ACTIVATION_STATE, MBN_ACTIVATION_STATE_DEACTIVATED),
        QM_ENUM(MBN_ACTIVATION_STATE, MBN_ACTIVATION_STATE_DEACTIVATING),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_NONE),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_DEREGISTERED),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_SEARCHING),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_HOME),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_ROAMING),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_PARTNER),
        QM_ENUM(MBN_REGISTER_STATE, MBN_REGISTER_STATE_DENIED),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_OFF),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_INITIALIZED),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_SIM_NOT_INSERTED),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_BAD_SIM),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_FAILURE),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_NOT_ACTIVATED),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_DEVICE_LOCKED),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_DEVICE_BLOCKED),
        QM_ENUM(MBN_READY_STATE, MBN_READY_STATE_NO_ESIM_PROFILE),
        QM_ENUM(MBN_CONNECTION_MODE, MBN_CONNECTION_MODE_PROFILE),
        QM_ENUM(MBN_CONNECTION_MODE, MBN_CONNECTION_MODE_TMP_PROFILE),
        QM_ENUM(MBN_REGISTER_MODE, MBN_REGISTER_MODE_NONE),
        QM_ENUM(MBN_REGISTER_MODE, MBN_REGISTER_MODE_AUTOMATIC),
        QM_ENUM(MBN_REGISTER_MODE, MBN_REGISTER_MODE_MANUAL),
        QM_ENUM(MBN_DEVICE_SERVICES_INTERFACE_STATE, MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL),
        QM_ENUM(MBN_DEVICE_SERVICES_INTERFACE_STATE, MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL),
        QM_ENUM(MBN_VOICE_CALL_STATE, MBN_VOICE_CALL_STATE_NONE),
        QM_ENUM(MBN_VOICE_CALL_STATE, MBN_VOICE_CALL_STATE_IN_PROGRESS),
        QM_ENUM(MBN_VOICE_CALL_STATE, MBN_VOICE_CALL_STATE_HANGUP),
    };
}

std::map<std::string, long long> DeclaredConstants() {
    return {
        {"MBN_PROVIDERNAME_LEN", QuarnMbn::MBN_PROVIDERNAME_LEN},
        {"MBN_PROVIDERID_LEN", QuarnMbn::MBN_PROVIDERID_LEN},
        {"MBN_DEVICEID_LEN", QuarnMbn::MBN_DEVICEID_LEN},
        {"MBN_MANUFACTURER_LEN", QuarnMbn::MBN_MANUFACTURER_LEN},
        {"MBN_MODEL_LEN", QuarnMbn::MBN_MODEL_LEN},
        {"MBN_FIRMWARE_LEN", QuarnMbn::MBN_FIRMWARE_LEN},
    };
}

struct DeclaredField {
    std::string struct_name;
    std::string name;
    std::size_t offset;
    std::string type;
};

struct DeclaredStruct {
    std::string name;
    std::size_t size;
};

#define QM_FIELD(Struct, Field)                                                                \
    DeclaredField {                                                                            \
        #Struct, #Field, offsetof(QuarnMbn::Struct, Field),                                    \
            TypeName<decltype(QuarnMbn::Struct::Field)>::Get()                                 \
    }

std::vector<DeclaredStruct> DeclaredStructs() {
    return {
        {"MBN_INTERFACE_CAPS", sizeof(QuarnMbn::MBN_INTERFACE_CAPS)},
        {"MBN_PROVIDER", sizeof(QuarnMbn::MBN_PROVIDER)},
        {"MBN_DEVICE_SERVICE", sizeof(QuarnMbn::MBN_DEVICE_SERVICE)},
    };
}

std::vector<DeclaredField> DeclaredFields() {
    return {
        QM_FIELD(MBN_INTERFACE_CAPS, cellularClass),
        QM_FIELD(MBN_INTERFACE_CAPS, voiceClass),
        QM_FIELD(MBN_INTERFACE_CAPS, dataClass),
        QM_FIELD(MBN_INTERFACE_CAPS, customDataClass),
        QM_FIELD(MBN_INTERFACE_CAPS, gsmBandClass),
        QM_FIELD(MBN_INTERFACE_CAPS, cdmaBandClass),
        QM_FIELD(MBN_INTERFACE_CAPS, customBandClass),
        QM_FIELD(MBN_INTERFACE_CAPS, smsCaps),
        QM_FIELD(MBN_INTERFACE_CAPS, controlCaps),
        QM_FIELD(MBN_INTERFACE_CAPS, deviceID),
        QM_FIELD(MBN_INTERFACE_CAPS, manufacturer),
        QM_FIELD(MBN_INTERFACE_CAPS, model),
        QM_FIELD(MBN_INTERFACE_CAPS, firmwareInfo),
        QM_FIELD(MBN_PROVIDER, providerID),
        QM_FIELD(MBN_PROVIDER, providerState),
        QM_FIELD(MBN_PROVIDER, providerName),
        QM_FIELD(MBN_PROVIDER, dataClass),
        QM_FIELD(MBN_DEVICE_SERVICE, deviceServiceID),
        QM_FIELD(MBN_DEVICE_SERVICE, dataWriteSupported),
        QM_FIELD(MBN_DEVICE_SERVICE, dataReadSupported),
    };
}

// ---- What the facts file says -------------------------------------------------------------

struct FactMethod {
    long slot;
    std::string name;
    std::vector<std::string> params;  // type spellings without spaces, "" when uncoded
};

struct FactInterface {
    std::string iid;
    std::string base;
    long method_count = -1;
    long first_slot = -1;
    long last_slot = -1;
};

struct FactHeading {
    std::string iid;
    std::string base;
};

struct FactField {
    std::string type;  // first word of the type cell
    long offset64 = -1;
    long offset32 = -1;
};

struct FactStruct {
    long size64 = -1;
    long size32 = -1;
    std::map<std::string, FactField> fields;
};

struct Facts {
    std::map<std::string, std::string> classes;              // CLSID_… -> GUID
    std::map<std::string, FactInterface> interfaces;         // interface name
    std::map<std::string, FactHeading> method_headings;      // interface name
    std::map<std::string, std::vector<FactMethod>> methods;  // interface name
    std::map<std::string, std::map<std::string, long long>> enums;
    std::map<std::string, FactStruct> structs;
    std::map<std::string, long long> constants;
};






std::string NoSpaces(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); }),
               text.end());
    return text;
}

std::vector<long> Numbers(const std::string& text) {
    static const std::regex number(R"(\d+)");
    std::vector<long> numbers;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number); it != std::sregex_iterator(); ++it)
        numbers.push_back(std::stol(it->str()));
    return numbers;
}

// "in: `LPCWSTR` interfaceID; out, retval: `IMbnInterface **` mbnInterface" -> types in order.
std::vector<std::string> ParseParams(const std::string& text) {
    static const std::regex marker(R"(\b(in|out)(, retval)?:\s*)");
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), marker); it != std::sregex_iterator(); ++it) {
        if (!spans.empty()) spans.back().second = static_cast<std::size_t>(it->position());
        spans.emplace_back(static_cast<std::size_t>(it->position() + it->length()), text.size());
    }
    std::vector<std::string> params;
    for (const auto& [begin, end] : spans) params.push_back(NoSpaces(FirstCode(text.substr(begin, end - begin))));
    return params;
}

bool ParseFacts(std::istream& in, Facts& facts) {
    std::string section;     // current "## " heading
    std::string subsection;  // current "### " heading
    std::string line;
    static const std::regex heading_base(R"(base `(\w+)`)");
    static const std::regex struct_sizes(R"((\d+) bytes on x64, (\d+) on x86)");
    static const std::regex constant(R"(`(MBN_\w+)` (\d+))");
    static const std::regex clsid_name(R"(CLSID_\w+)");
    while (std::getline(in, line)) {
        line = Trim(line);
        std::smatch match;
        if (line.rfind("## ", 0) == 0) {
            section = line.substr(3);
            subsection.clear();
            continue;
        }
        if (line.rfind("### ", 0) == 0) {
            subsection = line.substr(4);
            const std::string name = subsection.substr(0, subsection.find(' '));
            if (section.rfind("Methods", 0) == 0) {
                FactHeading& heading = facts.method_headings[name];
                heading.iid = FindGuid(subsection);
                if (std::regex_search(subsection, match, heading_base)) heading.base = match[1].str();
            } else if (section.rfind("Types passed", 0) == 0) {
                FactStruct& entry = facts.structs[name];
                if (std::regex_search(subsection, match, struct_sizes)) {
                    entry.size64 = std::stol(match[1].str());
                    entry.size32 = std::stol(match[2].str());
                }
            }
            continue;
        }
        if (line.find("Related constants") != std::string::npos) {
            for (auto it = std::sregex_iterator(line.begin(), line.end(), constant); it != std::sregex_iterator(); ++it)
                facts.constants[(*it)[1].str()] = std::stoll((*it)[2].str());
            continue;
        }
        if (line.empty() || line[0] != '|') continue;
        const std::vector<std::string> cells = Cells(line);
        if (cells.size() < 2) continue;

        if (section.rfind("Class identifiers", 0) == 0) {
            if (FindGuid(cells[1]).empty() || !std::regex_search(cells[0], match, clsid_name)) continue;
            facts.classes[match.str()] = FindGuid(cells[1]);
        } else if (section.rfind("Interface identifiers", 0) == 0) {
            if (cells.size() < 5 || FindGuid(cells[1]).empty()) continue;
            FactInterface& entry = facts.interfaces[FirstCode(cells[0])];
            entry.iid = FindGuid(cells[1]);
            entry.base = FirstCode(cells[2]);
            if (IsInteger(cells[3])) entry.method_count = std::stol(cells[3]);
            const std::vector<long> slots = Numbers(cells[4]);
            if (!slots.empty()) {
                entry.first_slot = slots.front();
                entry.last_slot = slots.back();
            }
        } else if (section.rfind("Methods", 0) == 0) {
            if (cells.size() < 3 || !IsInteger(cells[0])) continue;
            const std::string name = subsection.substr(0, subsection.find(' '));
            facts.methods[name].push_back({std::stol(cells[0]), FirstCode(cells[1]), ParseParams(cells[2])});
        } else if (section.rfind("Enumerations", 0) == 0) {
            if (!IsInteger(cells[1]) || subsection.empty()) continue;
            const std::string enum_name = subsection.substr(0, subsection.find(' '));
            facts.enums[enum_name][FirstCode(cells[0])] = std::stoll(cells[1]);
        } else if (section.rfind("Types passed", 0) == 0) {
            if (cells.size() < 4 || !IsInteger(cells[2]) || !IsInteger(cells[3]) || subsection.empty()) continue;
            const std::string struct_name = subsection.substr(0, subsection.find(' '));
            FactField& field = facts.structs[struct_name].fields[FirstCode(cells[0])];
            field.type = cells[1].substr(0, cells[1].find_first_of(" ("));
            field.offset64 = std::stol(cells[2]);
            field.offset32 = std::stol(cells[3]);
        }
    }
    return true;
}

std::string FactsPath() { return api_facts::FactsPath("QUARN_WINAPI_FACTS_MBN", "mbn-com.md"); }

const Facts* LoadedFacts(std::string* path_out) {
    static std::string path = FactsPath();
    static bool loaded = false;
    static Facts facts;
    static bool ok = false;
    if (!loaded) {
        loaded = true;
        std::ifstream in(path);
        ok = in && ParseFacts(in, facts);
    }
    *path_out = path;
    return ok ? &facts : nullptr;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text = "(";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + items[i];
    return text + ")";
}

class MbnDeclarations : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path;
        facts_ = LoadedFacts(&path);
        if (facts_ == nullptr)
            GTEST_SKIP() << "facts file not readable at '" << path
                         << "'; set QUARN_WINAPI_FACTS_MBN or build with QUARN_SOURCE_DIR";
    }

    const Facts* facts_ = nullptr;
};

TEST(MbnDeclarationsProbe, SlotProbeMatchesKnownSlots) {
    // The probes themselves; if the member-pointer layout or the type spelling were off,
    // every comparison below would be meaningless.
    EXPECT_EQ(SlotOf(&IUnknown::AddRef), 1);
    EXPECT_EQ(SlotOf(&IUnknown::Release), 2);
    EXPECT_EQ(SlotOf(&IDispatch::GetTypeInfoCount), 3);
    EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6);
    EXPECT_EQ(SlotCount<IUnknown>(), 3);
    EXPECT_EQ(SlotCount<IDispatch>(), 7);
    EXPECT_EQ(TypeName<BSTR*>::Get(), "BSTR*");
    EXPECT_EQ(TypeName<SAFEARRAY**>::Get(), "SAFEARRAY**");
    EXPECT_EQ(TypeName<LPCWSTR>::Get(), "LPCWSTR");
    EXPECT_EQ(TypeName<LONG_PTR>::Get(), "?");
}

TEST_F(MbnDeclarations, ClassIdsMatchFacts) {
    const std::vector<DeclaredClass> declared = DeclaredClasses();
    ASSERT_FALSE(facts_->classes.empty()) << "facts give no class identifiers";
    for (const auto& [name, clsid] : facts_->classes) {
        const DeclaredClass* match = nullptr;
        for (const DeclaredClass& candidate : declared)
            if (candidate.name == name) match = &candidate;
        if (match == nullptr) {
            ADD_FAILURE() << "facts list " << name << " {" << clsid << "} but nothing is declared for it";
            continue;
        }
        EXPECT_EQ(GuidText(match->clsid), clsid) << name;
    }
    for (const DeclaredClass& candidate : declared)
        if (facts_->classes.count(candidate.name) == 0)
            ADD_FAILURE() << candidate.name << " is declared but the facts' class table lacks it";
}

TEST_F(MbnDeclarations, InterfaceIidsBasesAndLengthsMatchFacts) {
    const std::vector<DeclaredInterface> declared = DeclaredInterfaces();
    ASSERT_FALSE(facts_->interfaces.empty()) << "facts give no interface table";
    for (const auto& [name, fact] : facts_->interfaces) {
        const DeclaredInterface* match = nullptr;
        for (const DeclaredInterface& candidate : declared)
            if (candidate.name == name) match = &candidate;
        if (match == nullptr) {
            ADD_FAILURE() << "facts list " << name << " {" << fact.iid << "} but nothing is declared for it";
            continue;
        }
        EXPECT_EQ(GuidText(match->iid), fact.iid) << "IID_" << name;
        EXPECT_EQ(GuidText(match->uuid), fact.iid) << "__uuidof(" << name << ")";
        ASSERT_EQ(fact.base, "IUnknown") << "facts give an unexpected base for " << name;
        EXPECT_TRUE(match->unknown && !match->dispatch) << name << " must derive from IUnknown only";
        EXPECT_EQ(fact.first_slot, 3) << "facts' first slot of " << name;
        EXPECT_EQ(fact.last_slot, 2 + fact.method_count) << "facts' slot range vs method count of " << name;
        EXPECT_EQ(match->slot_count, fact.last_slot + 1) << "vtable length of " << name;

        const auto heading = facts_->method_headings.find(name);
        if (heading == facts_->method_headings.end()) {
            ADD_FAILURE() << "facts have no method table for " << name;
            continue;
        }
        EXPECT_EQ(GuidText(match->iid), heading->second.iid) << "IID in the method heading of " << name;
        EXPECT_EQ(heading->second.base, fact.base) << "base in the method heading of " << name;
    }
    for (const DeclaredInterface& candidate : declared)
        if (facts_->interfaces.count(candidate.name) == 0)
            ADD_FAILURE() << candidate.name << " is declared but the facts' interface table lacks it";
}

TEST_F(MbnDeclarations, MethodSlotsAndParameterTypesMatchFacts) {
    const std::vector<DeclaredMethod> declared = DeclaredMethods();
    ASSERT_FALSE(facts_->methods.empty()) << "facts give no method tables";
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& [interface_name, methods] : facts_->methods) {
        for (const FactMethod& fact : methods) {
            seen.emplace(interface_name, fact.name);
            const DeclaredMethod* match = nullptr;
            for (const DeclaredMethod& method : declared)
                if (method.interface_name == interface_name && method.name == fact.name) match = &method;
            const std::string where = interface_name + "::" + fact.name;
            if (match == nullptr) {
                ADD_FAILURE() << where << " (facts slot " << fact.slot << ") has no declared counterpart";
                continue;
            }
            EXPECT_EQ(match->slot, fact.slot) << "vtable slot of " << where;
            EXPECT_TRUE(match->returns_hresult) << where << " must return HRESULT";
            EXPECT_EQ(Joined(match->params), Joined(fact.params)) << "parameter types of " << where;
        }
    }
    for (const DeclaredMethod& method : declared)
        if (seen.count({method.interface_name, method.name}) == 0)
            ADD_FAILURE() << method.interface_name << "::" << method.name << " is declared but not in the facts";
}

TEST_F(MbnDeclarations, EnumValuesMatchFacts) {
    const std::vector<DeclaredEnumValue> declared = DeclaredEnumValues();
    ASSERT_FALSE(facts_->enums.empty()) << "facts give no enumerations";
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& [enum_name, values] : facts_->enums) {
        for (const auto& [name, value] : values) {
            seen.emplace(enum_name, name);
            const DeclaredEnumValue* match = nullptr;
            for (const DeclaredEnumValue& candidate : declared)
                if (candidate.enum_name == enum_name && candidate.name == name) match = &candidate;
            if (match == nullptr) {
                ADD_FAILURE() << "facts list " << enum_name << "::" << name << " = " << value
                              << " but nothing is declared for it";
                continue;
            }
            EXPECT_EQ(match->value, value) << name;
            EXPECT_TRUE(match->of_enum_type) << name << " is not an enumerator of " << enum_name;
            EXPECT_EQ(match->size, 4u) << enum_name << " must be 32 bits wide";
        }
    }
    for (const DeclaredEnumValue& candidate : declared)
        if (seen.count({candidate.enum_name, candidate.name}) == 0)
            ADD_FAILURE() << candidate.enum_name << "::" << candidate.name << " is declared but not in the facts";
}

TEST_F(MbnDeclarations, ConstantsMatchFacts) {
    const std::map<std::string, long long> declared = DeclaredConstants();
    EXPECT_EQ(facts_->constants, declared);
}

TEST_F(MbnDeclarations, StructLayoutsMatchFacts) {
#if defined(_WIN64)
    constexpr bool wide = true;
#else
    constexpr bool wide = false;
#endif
    const std::vector<DeclaredStruct> structs = DeclaredStructs();
    const std::vector<DeclaredField> fields = DeclaredFields();
    ASSERT_EQ(facts_->structs.size(), structs.size()) << "structs in the facts vs declared";
    for (const DeclaredStruct& declared : structs) {
        const auto fact = facts_->structs.find(declared.name);
        if (fact == facts_->structs.end()) {
            ADD_FAILURE() << declared.name << " is declared but the facts lack it";
            continue;
        }
        EXPECT_EQ(static_cast<long>(declared.size), wide ? fact->second.size64 : fact->second.size32)
            << "size of " << declared.name;
        std::size_t declared_count = 0;
        for (const DeclaredField& field : fields) {
            if (field.struct_name != declared.name) continue;
            ++declared_count;
            const auto fact_field = fact->second.fields.find(field.name);
            if (fact_field == fact->second.fields.end()) {
                ADD_FAILURE() << declared.name << "::" << field.name << " is declared but not in the facts";
                continue;
            }
            EXPECT_EQ(static_cast<long>(field.offset),
                      wide ? fact_field->second.offset64 : fact_field->second.offset32)
                << "offset of " << declared.name << "::" << field.name;
            EXPECT_EQ(field.type, fact_field->second.type) << "type of " << declared.name << "::" << field.name;
        }
        EXPECT_EQ(declared_count, fact->second.fields.size()) << "field count of " << declared.name;
    }
}

}  // namespace
