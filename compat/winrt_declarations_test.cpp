// Checks compat/winrt_network_operators.h against the facts file gathered from public Windows
// metadata, read at test time: every IID, enum value and runtime class name, and for every
// method its vtable slot, parameter count and pointer depth as the compiler laid them out.
// A wrong digit or a method out of order in the header would otherwise only show up as a
// crash or E_NOINTERFACE on a real Windows machine.
#include "compat/winrt_network_operators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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





// HSTRING is a handle: the facts spell it without a '*', so it counts as depth 0.
template <class T>
struct PointerDepth : std::integral_constant<int, 0> {};
template <class T>
struct PointerDepth<T*> : std::integral_constant<int, 1 + PointerDepth<T>::value> {};
template <>
struct PointerDepth<HSTRING> : std::integral_constant<int, 0> {};

template <class Class, class Result, class... Params>
std::vector<int> ParamDepths(Result (Class::*)(Params...)) {
    return {PointerDepth<Params>::value...};
}

struct DeclaredInterface {
    std::string name;
    GUID iid;
    GUID uuid;
    bool inspectable;
    bool unknown;
    long slot_count;
};

#define QW_INTERFACE(Name)                                                                 \
    DeclaredInterface {                                                                    \
        #Name, QuarnWinRT::IID_##Name, __uuidof(QuarnWinRT::Name),                         \
            std::is_base_of<IInspectable, QuarnWinRT::Name>::value,                        \
            std::is_base_of<IUnknown, QuarnWinRT::Name>::value, SlotCount<QuarnWinRT::Name>() \
    }

// Keyed by the names used in the facts' "Interface identifiers" table.
std::vector<DeclaredInterface> DeclaredInterfaces() {
    return {
        QW_INTERFACE(IMobileBroadbandModemStatics),
        QW_INTERFACE(IMobileBroadbandModem),
        QW_INTERFACE(IMobileBroadbandDeviceInformation),
        QW_INTERFACE(IMobileBroadbandDeviceService),
        QW_INTERFACE(IMobileBroadbandDeviceServiceCommandSession),
        QW_INTERFACE(IMobileBroadbandDeviceServiceCommandResult),
        QW_INTERFACE(IMobileBroadbandAccountWatcher),
        QW_INTERFACE(IMobileBroadbandAccountEventArgs),
        QW_INTERFACE(IMobileBroadbandAccountUpdatedEventArgs),
        QW_INTERFACE(IBuffer),
        QW_INTERFACE(IBufferFactory),
        QW_INTERFACE(ICryptographicBufferStatics),
        QW_INTERFACE(IBufferByteAccess),
        QW_INTERFACE(IAsyncInfo),
    };
}

// Keyed by the facts' instance spelling; the generic is the facts' "Generic shapes" key.
struct DeclaredInstance {
    std::string facts_name;
    std::string generic;
    DeclaredInterface declared;
};

std::vector<DeclaredInstance> DeclaredInstances() {
    return {
        {"IAsyncOperation<MobileBroadbandDeviceServiceCommandResult>", "IAsyncOperation`1",
         QW_INTERFACE(IAsyncOperation_CommandResult)},
        {"AsyncOperationCompletedHandler<MobileBroadbandDeviceServiceCommandResult>",
         "AsyncOperationCompletedHandler`1", QW_INTERFACE(IAsyncOperationCompletedHandler_CommandResult)},
        {"TypedEventHandler<MobileBroadbandAccountWatcher, MobileBroadbandAccountEventArgs>",
         "TypedEventHandler`2", QW_INTERFACE(ITypedEventHandler_Watcher_AccountEventArgs)},
        {"TypedEventHandler<MobileBroadbandAccountWatcher, MobileBroadbandAccountUpdatedEventArgs>",
         "TypedEventHandler`2", QW_INTERFACE(ITypedEventHandler_Watcher_AccountUpdatedEventArgs)},
        {"TypedEventHandler<MobileBroadbandAccountWatcher, Object>", "TypedEventHandler`2",
         QW_INTERFACE(ITypedEventHandler_Watcher_Object)},
    };
}

struct DeclaredMethod {
    std::string interface_name;
    std::string name;
    long slot;
    std::vector<int> depths;
};

template <class Member>
DeclaredMethod Describe(const char* interface_name, const char* name, Member member) {
    return {interface_name, name, SlotOf(member), ParamDepths(member)};
}

#define QW_METHOD(Interface, Name) Describe(#Interface, #Name, &QuarnWinRT::Interface::Name)

std::vector<DeclaredMethod> DeclaredMethods() {
    return {
        QW_METHOD(IMobileBroadbandModemStatics, GetDeviceSelector),
        QW_METHOD(IMobileBroadbandModemStatics, FromId),
        QW_METHOD(IMobileBroadbandModemStatics, GetDefault),

        QW_METHOD(IMobileBroadbandModem, get_CurrentAccount),
        QW_METHOD(IMobileBroadbandModem, get_DeviceInformation),
        QW_METHOD(IMobileBroadbandModem, get_MaxDeviceServiceCommandSizeInBytes),
        QW_METHOD(IMobileBroadbandModem, get_MaxDeviceServiceDataSizeInBytes),
        QW_METHOD(IMobileBroadbandModem, get_DeviceServices),
        QW_METHOD(IMobileBroadbandModem, GetDeviceService),
        QW_METHOD(IMobileBroadbandModem, get_IsResetSupported),
        QW_METHOD(IMobileBroadbandModem, ResetAsync),
        QW_METHOD(IMobileBroadbandModem, GetCurrentConfigurationAsync),
        QW_METHOD(IMobileBroadbandModem, get_CurrentNetwork),

        QW_METHOD(IMobileBroadbandDeviceInformation, get_NetworkDeviceStatus),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_Manufacturer),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_Model),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_FirmwareInformation),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_CellularClass),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_DataClasses),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_CustomDataClass),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_MobileEquipmentId),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_TelephoneNumbers),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_SubscriberId),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_SimIccId),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_DeviceType),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_DeviceId),
        QW_METHOD(IMobileBroadbandDeviceInformation, get_CurrentRadioState),

        QW_METHOD(IMobileBroadbandDeviceService, get_DeviceServiceId),
        QW_METHOD(IMobileBroadbandDeviceService, get_SupportedCommands),
        QW_METHOD(IMobileBroadbandDeviceService, OpenDataSession),
        QW_METHOD(IMobileBroadbandDeviceService, OpenCommandSession),

        QW_METHOD(IMobileBroadbandDeviceServiceCommandSession, SendQueryCommandAsync),
        QW_METHOD(IMobileBroadbandDeviceServiceCommandSession, SendSetCommandAsync),
        QW_METHOD(IMobileBroadbandDeviceServiceCommandSession, CloseSession),

        QW_METHOD(IMobileBroadbandDeviceServiceCommandResult, get_StatusCode),
        QW_METHOD(IMobileBroadbandDeviceServiceCommandResult, get_ResponseData),

        QW_METHOD(IMobileBroadbandAccountWatcher, add_AccountAdded),
        QW_METHOD(IMobileBroadbandAccountWatcher, remove_AccountAdded),
        QW_METHOD(IMobileBroadbandAccountWatcher, add_AccountUpdated),
        QW_METHOD(IMobileBroadbandAccountWatcher, remove_AccountUpdated),
        QW_METHOD(IMobileBroadbandAccountWatcher, add_AccountRemoved),
        QW_METHOD(IMobileBroadbandAccountWatcher, remove_AccountRemoved),
        QW_METHOD(IMobileBroadbandAccountWatcher, add_EnumerationCompleted),
        QW_METHOD(IMobileBroadbandAccountWatcher, remove_EnumerationCompleted),
        QW_METHOD(IMobileBroadbandAccountWatcher, add_Stopped),
        QW_METHOD(IMobileBroadbandAccountWatcher, remove_Stopped),
        QW_METHOD(IMobileBroadbandAccountWatcher, get_Status),
        QW_METHOD(IMobileBroadbandAccountWatcher, Start),
        QW_METHOD(IMobileBroadbandAccountWatcher, Stop),

        QW_METHOD(IMobileBroadbandAccountEventArgs, get_NetworkAccountId),

        QW_METHOD(IMobileBroadbandAccountUpdatedEventArgs, get_NetworkAccountId),
        QW_METHOD(IMobileBroadbandAccountUpdatedEventArgs, get_HasDeviceInformationChanged),
        QW_METHOD(IMobileBroadbandAccountUpdatedEventArgs, get_HasNetworkChanged),

        QW_METHOD(IBuffer, get_Capacity),
        QW_METHOD(IBuffer, get_Length),
        QW_METHOD(IBuffer, put_Length),

        QW_METHOD(IBufferFactory, Create),

        QW_METHOD(ICryptographicBufferStatics, Compare),
        QW_METHOD(ICryptographicBufferStatics, GenerateRandom),
        QW_METHOD(ICryptographicBufferStatics, GenerateRandomNumber),
        QW_METHOD(ICryptographicBufferStatics, CreateFromByteArray),
        QW_METHOD(ICryptographicBufferStatics, CopyToByteArray),
        QW_METHOD(ICryptographicBufferStatics, DecodeFromHexString),
        QW_METHOD(ICryptographicBufferStatics, EncodeToHexString),
        QW_METHOD(ICryptographicBufferStatics, DecodeFromBase64String),
        QW_METHOD(ICryptographicBufferStatics, EncodeToBase64String),
        QW_METHOD(ICryptographicBufferStatics, ConvertStringToBinary),
        QW_METHOD(ICryptographicBufferStatics, ConvertBinaryToString),

        QW_METHOD(IBufferByteAccess, Buffer),

        QW_METHOD(IAsyncInfo, get_Id),
        QW_METHOD(IAsyncInfo, get_Status),
        QW_METHOD(IAsyncInfo, get_ErrorCode),
        QW_METHOD(IAsyncInfo, Cancel),
        QW_METHOD(IAsyncInfo, Close),

        QW_METHOD(IAsyncOperation_CommandResult, put_Completed),
        QW_METHOD(IAsyncOperation_CommandResult, get_Completed),
        QW_METHOD(IAsyncOperation_CommandResult, GetResults),
        QW_METHOD(IAsyncOperationCompletedHandler_CommandResult, Invoke),
        QW_METHOD(ITypedEventHandler_Watcher_AccountEventArgs, Invoke),
        QW_METHOD(ITypedEventHandler_Watcher_AccountUpdatedEventArgs, Invoke),
        QW_METHOD(ITypedEventHandler_Watcher_Object, Invoke),
    };
}

struct DeclaredEnumValue {
    std::string enum_name;
    std::string name;
    long long value;
    std::size_t size;
};

#define QW_ENUM(Enum, Name)                                                                      \
    DeclaredEnumValue {                                                                          \
        #Enum, #Name, static_cast<long long>(QuarnWinRT::Enum##_##Name), sizeof(QuarnWinRT::Enum) \
    }
// Qualified through the type: a plain enum in mingw-w64, a scoped one in the SDK.
#define QW_ASYNC_STATUS(Name)                                                   \
    DeclaredEnumValue {                                                         \
        "AsyncStatus", #Name, static_cast<long long>(QuarnWinRT::AsyncStatus::Name), \
            sizeof(QuarnWinRT::AsyncStatus)                                     \
    }

std::vector<DeclaredEnumValue> DeclaredEnumValues() {
    return {
        QW_ENUM(NetworkDeviceStatus, DeviceNotReady),
        QW_ENUM(NetworkDeviceStatus, DeviceReady),
        QW_ENUM(NetworkDeviceStatus, SimNotInserted),
        QW_ENUM(NetworkDeviceStatus, BadSim),
        QW_ENUM(NetworkDeviceStatus, DeviceHardwareFailure),
        QW_ENUM(NetworkDeviceStatus, AccountNotActivated),
        QW_ENUM(NetworkDeviceStatus, DeviceLocked),
        QW_ENUM(NetworkDeviceStatus, DeviceBlocked),
        QW_ENUM(MobileBroadbandAccountWatcherStatus, Created),
        QW_ENUM(MobileBroadbandAccountWatcherStatus, Started),
        QW_ENUM(MobileBroadbandAccountWatcherStatus, EnumerationCompleted),
        QW_ENUM(MobileBroadbandAccountWatcherStatus, Stopped),
        QW_ENUM(MobileBroadbandAccountWatcherStatus, Aborted),
        QW_ASYNC_STATUS(Started),
        QW_ASYNC_STATUS(Completed),
        QW_ASYNC_STATUS(Canceled),
        QW_ASYNC_STATUS(Error),
        QW_ENUM(BinaryStringEncoding, Utf8),
        QW_ENUM(BinaryStringEncoding, Utf16LE),
        QW_ENUM(BinaryStringEncoding, Utf16BE),
    };
}

std::vector<std::wstring> DeclaredRuntimeClassNames() {
    return {
        QuarnWinRT::RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandModem,
        QuarnWinRT::RuntimeClass_Windows_Networking_NetworkOperators_MobileBroadbandAccountWatcher,
        QuarnWinRT::RuntimeClass_Windows_Security_Cryptography_CryptographicBuffer,
        QuarnWinRT::RuntimeClass_Windows_Storage_Streams_Buffer,
    };
}

// ---- What the facts file says -------------------------------------------------------------

struct FactParam {
    int depth;  // -1: the facts give no concrete type
};

struct FactMethod {
    long slot;
    std::string name;
    std::vector<FactParam> params;
};

struct FactInterface {
    std::string iid;
    std::string base;
    long last_slot = -1;
};

struct Facts {
    std::map<std::string, FactInterface> interfaces;        // short name
    std::map<std::string, std::string> method_heading_iids;  // short name -> IID in the heading
    std::map<std::string, std::vector<FactMethod>> methods;  // short name
    std::map<std::string, std::string> instance_iids;        // instance spelling
    std::map<std::string, std::string> generic_bases;        // e.g. "TypedEventHandler`2"
    std::map<std::string, std::vector<FactMethod>> generic_methods;
    std::map<std::string, std::map<std::string, long long>> enums;  // short enum name
    std::set<std::string> runtime_classes;
    std::string agile_object_iid;
};




// "Windows.Foundation.IAsyncOperation`1<T>" -> "IAsyncOperation`1"
std::string ShortName(std::string dotted) {
    dotted = dotted.substr(0, dotted.find('<'));
    const auto dot = dotted.rfind('.');
    return dot == std::string::npos ? dotted : dotted.substr(dot + 1);
}



int Stars(const std::string& type) {
    int count = 0;
    for (char c : type) count += c == '*';
    return count;
}

// "in: `UINT32` commandId; in: `IBuffer *` data; out, retval: `X **` asyncInfo" or, in the
// generic table, "in: TSender_abi sender, in: TResult_abi args". `concrete` gives the types
// the facts spell out for placeholder (…_abi) parameters, by parameter name or "" for any.
std::vector<FactParam> ParseParams(const std::string& text,
                                   const std::map<std::string, std::string>& concrete = {}) {
    static const std::regex marker(R"(\b(in|out)(, retval)?:\s*)");
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // start of text, end of text
    for (auto it = std::sregex_iterator(text.begin(), text.end(), marker); it != std::sregex_iterator(); ++it) {
        if (!spans.empty()) spans.back().second = static_cast<std::size_t>(it->position());
        spans.emplace_back(static_cast<std::size_t>(it->position() + it->length()), text.size());
    }
    std::vector<FactParam> params;
    for (const auto& [begin, end] : spans) {
        const std::string slice = text.substr(begin, end - begin);
        std::string type = FirstCode(slice);
        if (type.empty()) {
            // Uncoded "Type * name": drop the trailing name and separators.
            static const std::regex uncoded(R"(^(.*?)\s*\b(\w+)\s*[,;]?\s*$)");
            std::smatch match;
            if (!std::regex_match(slice, match, uncoded)) {
                params.push_back({-1});
                continue;
            }
            type = match[1].str();
            if (type.find("_abi") != std::string::npos) {
                auto named = concrete.find(match[2].str());
                if (named == concrete.end()) named = concrete.find("");
                params.push_back({named == concrete.end() ? -1 : Stars(named->second)});
                continue;
            }
        }
        params.push_back({Stars(type)});
    }
    return params;
}

void ParseGenericRow(const std::vector<std::string>& cells, Facts& facts) {
    const std::string generic = ShortName(FirstCode(cells[0]));
    facts.generic_bases[generic] = FirstCode(cells[2]);
    const std::string& slots = cells[3];

    std::map<std::string, std::string> concrete;
    static const std::regex named_type(R"(`(\w+)` is `([^`]*)`)");
    for (auto it = std::sregex_iterator(slots.begin(), slots.end(), named_type); it != std::sregex_iterator(); ++it)
        concrete.emplace((*it)[1].str(), (*it)[2].str());
    static const std::regex any_type(R"(the parameter is `([^`]*)`)");
    std::smatch match;
    if (std::regex_search(slots, match, any_type)) concrete.emplace("", match[1].str());

    static const std::regex slot(R"((\d+) `(\w+)\(([^)]*)\)`)");
    for (auto it = std::sregex_iterator(slots.begin(), slots.end(), slot); it != std::sregex_iterator(); ++it) {
        facts.generic_methods[generic].push_back(
            {std::stol((*it)[1].str()), (*it)[2].str(), ParseParams((*it)[3].str(), concrete)});
    }
}

bool ParseFacts(std::istream& in, Facts& facts) {
    std::string section;     // current "## " heading
    std::string subsection;  // current "### " heading
    std::string line;
    static const std::regex agile(R"(`IAgileObject` `\{([0-9a-fA-F-]+)\}`)");
    while (std::getline(in, line)) {
        line = Trim(line);
        std::smatch match;
        if (std::regex_search(line, match, agile)) facts.agile_object_iid = FindGuid(match[1].str());
        if (line.rfind("## ", 0) == 0) {
            section = line.substr(3);
            subsection.clear();
            continue;
        }
        if (line.rfind("### ", 0) == 0) {
            subsection = line.substr(4);
            if (section.rfind("Methods", 0) == 0) {
                const std::string name = subsection.substr(0, subsection.find(' '));
                facts.method_heading_iids[name] = FindGuid(subsection);
            }
            continue;
        }
        if (line.empty() || line[0] != '|') continue;
        const std::vector<std::string> cells = Cells(line);
        if (cells.size() < 2) continue;

        if (section.rfind("Runtime classes", 0) == 0) {
            const std::string name = FirstCode(cells[0]);
            if (!name.empty()) facts.runtime_classes.insert(name);
        } else if (section.rfind("Interface identifiers", 0) == 0) {
            if (cells.size() < 5 || FindGuid(cells[1]).empty()) continue;
            FactInterface& entry = facts.interfaces[ShortName(FirstCode(cells[0]))];
            entry.iid = FindGuid(cells[1]);
            entry.base = FirstCode(cells[2]);
            static const std::regex number(R"(\d+)");
            for (auto it = std::sregex_iterator(cells[4].begin(), cells[4].end(), number);
                 it != std::sregex_iterator(); ++it)
                entry.last_slot = std::stol(it->str());
        } else if (section.rfind("Methods", 0) == 0) {
            if (cells.size() < 3 || !IsInteger(cells[0])) continue;
            const std::string name = subsection.substr(0, subsection.find(' '));
            facts.methods[name].push_back({std::stol(cells[0]), FirstCode(cells[1]), ParseParams(cells[2])});
        } else if (section.rfind("Parameterized interfaces", 0) == 0) {
            if (subsection.rfind("Generic shapes", 0) == 0) {
                if (cells.size() >= 4 && !FindGuid(cells[1]).empty()) ParseGenericRow(cells, facts);
            } else if (subsection.rfind("Instance IIDs", 0) == 0) {
                if (cells.size() >= 3 && !FindGuid(cells[2]).empty())
                    facts.instance_iids[FirstCode(cells[0])] = FindGuid(cells[2]);
            }
        } else if (section.rfind("Enumerations", 0) == 0) {
            if (!IsInteger(cells[1]) || subsection.empty()) continue;
            const std::string enum_name = ShortName(subsection.substr(0, subsection.find(' ')));
            facts.enums[enum_name][FirstCode(cells[0])] = std::stoll(cells[1]);
        }
    }
    return true;
}

std::string FactsPath() { return api_facts::FactsPath("QUARN_WINAPI_FACTS", "winrt-network-operators.md"); }

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

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

std::string DepthsText(const std::vector<int>& depths) {
    std::string text = "(";
    for (std::size_t i = 0; i < depths.size(); ++i) text += (i ? ", " : "") + std::to_string(depths[i]);
    return text + ")";
}

class WinRtDeclarations : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path;
        facts_ = LoadedFacts(&path);
        if (facts_ == nullptr)
            GTEST_SKIP() << "facts file not readable at '" << path
                         << "'; set QUARN_WINAPI_FACTS or build with QUARN_SOURCE_DIR";
    }

    // Compares one declared interface with the IID, base and last slot the facts give.
    static void ExpectInterface(const DeclaredInterface& declared, const std::string& facts_name,
                                const std::string& iid, const std::string& base, long last_slot) {
        EXPECT_EQ(GuidText(declared.iid), iid) << "IID_" << declared.name << " vs facts " << facts_name;
        EXPECT_EQ(GuidText(declared.uuid), iid) << "__uuidof(" << declared.name << ") vs facts " << facts_name;
        if (base == "IInspectable") {
            EXPECT_TRUE(declared.inspectable) << declared.name << " must derive from IInspectable";
        } else if (base == "IUnknown") {
            EXPECT_TRUE(declared.unknown && !declared.inspectable)
                << declared.name << " must derive from IUnknown only";
        } else {
            ADD_FAILURE() << "facts give an unknown base '" << base << "' for " << facts_name;
        }
        EXPECT_EQ(declared.slot_count, last_slot + 1) << "vtable length of " << declared.name;
    }

    static void ExpectMethods(const std::string& declared_interface, const std::string& facts_interface,
                              const std::vector<FactMethod>& facts_methods,
                              const std::vector<DeclaredMethod>& declared) {
        std::set<std::string> seen;
        for (const FactMethod& fact : facts_methods) {
            seen.insert(fact.name);
            const DeclaredMethod* match = nullptr;
            for (const DeclaredMethod& method : declared)
                if (method.interface_name == declared_interface && method.name == fact.name) match = &method;
            if (match == nullptr) {
                ADD_FAILURE() << facts_interface << "::" << fact.name << " (facts slot " << fact.slot
                              << ") has no declared counterpart in " << declared_interface;
                continue;
            }
            const std::string where = declared_interface + "::" + fact.name;
            EXPECT_EQ(match->slot, fact.slot) << "vtable slot of " << where;
            if (match->depths.size() != fact.params.size()) {
                ADD_FAILURE() << "parameter count of " << where << ": declared " << match->depths.size()
                              << ", facts " << fact.params.size();
                continue;
            }
            for (std::size_t i = 0; i < fact.params.size(); ++i) {
                if (fact.params[i].depth < 0) continue;
                EXPECT_EQ(match->depths[i], fact.params[i].depth)
                    << "pointer depth of parameter " << i + 1 << " of " << where << ", declared "
                    << DepthsText(match->depths);
            }
        }
        for (const DeclaredMethod& method : declared) {
            if (method.interface_name == declared_interface && seen.count(method.name) == 0)
                ADD_FAILURE() << declared_interface << "::" << method.name << " is declared but the facts for "
                              << facts_interface << " have no such method";
        }
    }

    const Facts* facts_ = nullptr;
};

TEST(WinRtDeclarationsProbe, SlotProbeMatchesKnownSlots) {
    // The slot probe itself; if the member-pointer layout were different, every slot
    // comparison below would be meaningless.
    EXPECT_EQ(SlotOf(&IUnknown::AddRef), 1);
    EXPECT_EQ(SlotOf(&IUnknown::Release), 2);
    EXPECT_EQ(SlotOf(&IInspectable::GetIids), 3);
    EXPECT_EQ(SlotOf(&IInspectable::GetTrustLevel), 5);
    EXPECT_EQ(SlotCount<IUnknown>(), 3);
    EXPECT_EQ(SlotCount<IInspectable>(), 6);
}

TEST_F(WinRtDeclarations, InterfaceIidsBasesAndLengthsMatchFacts) {
    const std::vector<DeclaredInterface> declared = DeclaredInterfaces();
    for (const auto& [name, fact] : facts_->interfaces) {
        const DeclaredInterface* match = nullptr;
        for (const DeclaredInterface& candidate : declared)
            if (candidate.name == name) match = &candidate;
        if (match == nullptr) {
            ADD_FAILURE() << "facts list " << name << " {" << fact.iid << "} but nothing is mapped to it";
            continue;
        }
        ExpectInterface(*match, name, fact.iid, fact.base, fact.last_slot);
        const auto heading = facts_->method_heading_iids.find(name);
        if (heading != facts_->method_heading_iids.end()) {
            EXPECT_EQ(GuidText(match->iid), heading->second) << "IID in the method heading of " << name;
        }
    }
    for (const DeclaredInterface& candidate : declared) {
        if (facts_->interfaces.count(candidate.name) == 0)
            ADD_FAILURE() << candidate.name << " is declared but the facts' interface table lacks it";
    }
}

TEST_F(WinRtDeclarations, InstanceIidsBasesAndLengthsMatchFacts) {
    const std::vector<DeclaredInstance> declared = DeclaredInstances();
    for (const auto& [name, iid] : facts_->instance_iids) {
        const DeclaredInstance* match = nullptr;
        for (const DeclaredInstance& candidate : declared)
            if (candidate.facts_name == name) match = &candidate;
        if (match == nullptr) {
            ADD_FAILURE() << "facts list instance " << name << " {" << iid << "} but nothing is mapped to it";
            continue;
        }
        const auto methods = facts_->generic_methods.find(match->generic);
        const auto base = facts_->generic_bases.find(match->generic);
        if (methods == facts_->generic_methods.end() || methods->second.empty() ||
            base == facts_->generic_bases.end()) {
            ADD_FAILURE() << "facts have no generic shape " << match->generic << " for " << name;
            continue;
        }
        long last_slot = -1;
        for (const FactMethod& method : methods->second) last_slot = std::max(last_slot, method.slot);
        ExpectInterface(match->declared, name, iid, base->second, last_slot);
    }
    for (const DeclaredInstance& candidate : declared) {
        if (facts_->instance_iids.count(candidate.facts_name) == 0)
            ADD_FAILURE() << candidate.declared.name << " is declared for " << candidate.facts_name
                          << " but the facts' instance table lacks it";
    }
}

TEST_F(WinRtDeclarations, AgileObjectIidMatchesFacts) {
    ASSERT_FALSE(facts_->agile_object_iid.empty()) << "facts give no IAgileObject IID";
    EXPECT_EQ(GuidText(QuarnWinRT::IID_IAgileObject), facts_->agile_object_iid);
    EXPECT_EQ(GuidText(__uuidof(IAgileObject)), facts_->agile_object_iid) << "the system header's IAgileObject";
}

TEST_F(WinRtDeclarations, MethodSlotsArityAndPointerDepthsMatchFacts) {
    const std::vector<DeclaredMethod> declared = DeclaredMethods();
    std::set<std::string> covered;
    for (const auto& [name, methods] : facts_->methods) {
        covered.insert(name);
        ExpectMethods(name, name, methods, declared);
    }
    for (const DeclaredInstance& instance : DeclaredInstances()) {
        covered.insert(instance.declared.name);
        const auto methods = facts_->generic_methods.find(instance.generic);
        if (methods == facts_->generic_methods.end()) {
            ADD_FAILURE() << "facts have no generic shape " << instance.generic;
            continue;
        }
        ExpectMethods(instance.declared.name, instance.generic, methods->second, declared);
    }
    for (const DeclaredMethod& method : declared) {
        if (covered.count(method.interface_name) == 0)
            ADD_FAILURE() << method.interface_name << "::" << method.name << " has no method table in the facts";
    }
}

TEST_F(WinRtDeclarations, EnumValuesMatchFacts) {
    const std::vector<DeclaredEnumValue> declared = DeclaredEnumValues();
    std::set<std::pair<std::string, std::string>> seen;
    for (const auto& [enum_name, values] : facts_->enums) {
        for (const auto& [name, value] : values) {
            seen.emplace(enum_name, name);
            const DeclaredEnumValue* match = nullptr;
            for (const DeclaredEnumValue& candidate : declared)
                if (candidate.enum_name == enum_name && candidate.name == name) match = &candidate;
            if (match == nullptr) {
                ADD_FAILURE() << "facts list " << enum_name << "::" << name << " = " << value
                              << " but nothing is mapped to it";
                continue;
            }
            EXPECT_EQ(match->value, value) << enum_name << "::" << name;
            EXPECT_EQ(match->size, 4u) << enum_name << " must be 32 bits wide";
        }
    }
    for (const DeclaredEnumValue& candidate : declared) {
        if (seen.count({candidate.enum_name, candidate.name}) == 0)
            ADD_FAILURE() << candidate.enum_name << "::" << candidate.name << " is declared but not in the facts";
    }
}

TEST_F(WinRtDeclarations, RuntimeClassNamesAreInFacts) {
    for (const std::wstring& name : DeclaredRuntimeClassNames())
        EXPECT_EQ(facts_->runtime_classes.count(Narrow(name)), 1u)
            << "runtime class '" << Narrow(name) << "' is not in the facts' runtime class table";
}

}  // namespace
