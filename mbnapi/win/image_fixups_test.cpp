// The fix-ups that let an outside program load QuarnVelmora.exe as a library, under Wine, on
// test images built for the purpose (tests/tools/fixup_*). Wine neither relocates nor binds
// an executable loaded with LoadLibrary, the case the fix-ups exist for; each test checks
// that the loader left the work to them before it looks at the result.
//   fixup_sample.exe           page-straddling relocations in code, data and read-only data
//   fixup_exports_held.exe     the wrapper's exports, and an import that holds its loading
//   fixup_exports_absent.exe   the wrapper's exports, and an import DLL that does not exist
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mbnapi/mbn_exports.h"
#include "mbnapi/win/image_fixups.h"

using namespace QuarnMbn;

namespace {

constexpr size_t kPage = 0x1000;

std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + name;
}

bool IsExecutable(DWORD protection) {
    return (protection & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

DWORD ProtectionAt(const void* address) {
    MEMORY_BASIC_INFORMATION info{};
    return VirtualQuery(address, &info, sizeof(info)) == sizeof(info) ? info.Protect : 0;
}

const BYTE* PageOf(const void* address) {
    return reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(address) & ~(kPage - 1));
}

// An image loaded as a library for one test, and freed after it, so the next test gets a
// fresh, unfixed copy.
class LoadedImage {
public:
    explicit LoadedImage(const wchar_t* name) : m_Module(LoadLibraryW(BesideThisProgram(name).c_str())) {}
    ~LoadedImage() {
        if (m_Module != nullptr) {
            FreeLibrary(m_Module);
        }
    }
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    bool Loaded() const { return m_Module != nullptr; }
    BYTE* Base() const { return reinterpret_cast<BYTE*>(m_Module); }
    const IMAGE_NT_HEADERS* Headers() const {
        return reinterpret_cast<const IMAGE_NT_HEADERS*>(Base() + reinterpret_cast<const IMAGE_DOS_HEADER*>(Base())->e_lfanew);
    }
    size_t Size() const { return Headers()->OptionalHeader.SizeOfImage; }
    template <typename T>
    T* Symbol(const char* name) const {
        return reinterpret_cast<T*>(reinterpret_cast<void*>(GetProcAddress(m_Module, name)));
    }
    template <typename F>
    F Function(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_Module, name)));
    }

    // Every page's protection, from the first to the last page of the image.
    std::vector<DWORD> PageProtections() const {
        std::vector<DWORD> protections;
        for (size_t offset = 0; offset < Size(); offset += kPage) {
            protections.push_back(ProtectionAt(Base() + offset));
        }
        return protections;
    }

private:
    HMODULE m_Module;
};

void ExpectSameProtections(const std::vector<DWORD>& before, const std::vector<DWORD>& after) {
    ASSERT_EQ(before.size(), after.size());
    for (size_t page = 0; page < before.size(); ++page) {
        EXPECT_EQ(before[page], after[page]) << "page at RVA 0x" << std::hex << page * kPage;
    }
}

// ---- The sample image ----

// The page holding the last byte of a pointer-sized value.
const BYTE* PageAfterBoundary(const void* straddlingValue) {
    return PageOf(static_cast<const BYTE*>(straddlingValue) + sizeof(ULONG_PTR) - 1);
}

struct Sample {
    void** probe;
    ULONG_PTR* dataPointer;
    ULONG_PTR* readonlyPointer;
    BYTE* straddlingFunction;
    BYTE* secondPageFunction;
    BYTE* importedCall;
    BYTE* codeTarget;
    ULONG_PTR* dataTarget;
};

// The sample's symbols; ASSERTs that the image is loaded and that the loader neither moved
// its addresses nor bound its imports (else there would be nothing to test).
void OpenSample(const LoadedImage& image, Sample* sample) {
    ASSERT_TRUE(image.Loaded()) << GetLastError();
    *sample = Sample{image.Symbol<void*>("relocation_probe"), image.Symbol<ULONG_PTR>("straddling_data_pointer"),
                     image.Symbol<ULONG_PTR>("straddling_readonly_pointer"), image.Symbol<BYTE>("straddling_function"),
                     image.Symbol<BYTE>("second_page_function"), image.Symbol<BYTE>("imported_call"),
                     image.Symbol<BYTE>("code_target"), image.Symbol<ULONG_PTR>("data_target")};
    ASSERT_TRUE(sample->probe && sample->dataPointer && sample->readonlyPointer && sample->straddlingFunction &&
                sample->secondPageFunction && sample->importedCall && sample->codeTarget && sample->dataTarget);
    ASSERT_NE(*sample->probe, static_cast<void*>(sample->probe)) << "the loader relocated the sample itself";
    const IMAGE_DATA_DIRECTORY& imports = image.Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(imports.VirtualAddress, 0u);
    const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.Base() + imports.VirtualAddress);
    ASSERT_EQ(reinterpret_cast<const IMAGE_THUNK_DATA*>(image.Base() + import->FirstThunk)->u1.Function,
              reinterpret_cast<const IMAGE_THUNK_DATA*>(image.Base() + import->OriginalFirstThunk)->u1.AddressOfData)
        << "the loader bound the sample's import itself";
    // The three straddling values really cross a page boundary.
    for (const void* value : {static_cast<const void*>(sample->dataPointer), static_cast<const void*>(sample->readonlyPointer),
                              static_cast<const void*>(sample->straddlingFunction + 2)}) {
        ASSERT_NE(PageOf(value), PageAfterBoundary(value));
    }
}

void SetProtection(const void* page, DWORD protection) {
    DWORD previous = 0;
    ASSERT_TRUE(VirtualProtect(const_cast<void*>(page), kPage, protection, &previous)) << GetLastError();
}

// How each case changes protections before the fix-up. Pages on either side of a straddled
// boundary differ in all but the first, so restoring one page's protection to both shows.
enum class Neighbours { AsLoaded, CodeFirstPageWritable, DataSecondPageReadOnly, ReadOnlyFirstPageWritable };

const char* NameOf(Neighbours neighbours) {
    const char* const names[] = {"AsLoaded", "CodeFirstPageWritable", "DataSecondPageReadOnly",
                                 "ReadOnlyFirstPageWritable"};
    return names[static_cast<int>(neighbours)];
}

std::string NeighboursName(const ::testing::TestParamInfo<Neighbours>& info) {
    return NameOf(info.param);
}

void PrintTo(Neighbours neighbours, std::ostream* out) {
    *out << NameOf(neighbours);
}

class EveryPageKeepsItsProtection : public ::testing::TestWithParam<Neighbours> {};

TEST_P(EveryPageKeepsItsProtection, AcrossAFixUpWithPageStraddlingRelocations) {
    LoadedImage image(L"fixup_sample.exe");
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(OpenSample(image, &sample));
    switch (GetParam()) {
    case Neighbours::AsLoaded:
        break;
    case Neighbours::CodeFirstPageWritable:
        ASSERT_NO_FATAL_FAILURE(SetProtection(PageOf(sample.straddlingFunction), PAGE_EXECUTE_READWRITE));
        break;
    case Neighbours::DataSecondPageReadOnly:
        ASSERT_NO_FATAL_FAILURE(SetProtection(PageAfterBoundary(sample.dataPointer), PAGE_READONLY));
        break;
    case Neighbours::ReadOnlyFirstPageWritable:
        ASSERT_NO_FATAL_FAILURE(SetProtection(PageOf(sample.readonlyPointer), PAGE_READWRITE));
        break;
    }
    const std::vector<DWORD> before = image.PageProtections();

    ASSERT_TRUE(FixUpImage(image.Base(), sample.probe));

    ExpectSameProtections(before, image.PageProtections());
}

INSTANTIATE_TEST_SUITE_P(FixUps, EveryPageKeepsItsProtection,
                         ::testing::Values(Neighbours::AsLoaded, Neighbours::CodeFirstPageWritable,
                                           Neighbours::DataSecondPageReadOnly, Neighbours::ReadOnlyFirstPageWritable),
                         NeighboursName);

TEST(FixUps, StraddlingAddressesAreRelocatedAndTheCodeAcrossTheBoundaryRuns) {
    LoadedImage image(L"fixup_sample.exe");
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(OpenSample(image, &sample));

    ASSERT_TRUE(FixUpImage(image.Base(), sample.probe));

    EXPECT_EQ(*sample.probe, static_cast<void*>(sample.probe));
    EXPECT_EQ(*sample.dataPointer, reinterpret_cast<ULONG_PTR>(sample.dataTarget));
    EXPECT_EQ(*sample.readonlyPointer, reinterpret_cast<ULONG_PTR>(sample.codeTarget));
    // Calling into a page that lost execute would end the test program: look first.
    for (const BYTE* page : {PageOf(sample.straddlingFunction), PageAfterBoundary(sample.straddlingFunction + 2)}) {
        ASSERT_TRUE(IsExecutable(ProtectionAt(page))) << "code page at RVA 0x" << std::hex << page - image.Base();
    }
    EXPECT_EQ(reinterpret_cast<ULONG_PTR (*)()>(sample.straddlingFunction)(), reinterpret_cast<ULONG_PTR>(sample.codeTarget));
    EXPECT_EQ(reinterpret_cast<int (*)()>(sample.secondPageFunction)(), 42);
    EXPECT_EQ(reinterpret_cast<DWORD (*)()>(sample.importedCall)(), GetCurrentProcessId());
}

// ---- Watching the protection changes the fix-up makes ----

// The fix-up reaches VirtualProtect through kernel32's export table (it may use no import of
// the image it fixes). This points that export at a recorder for the life of the object, so
// the test sees every change while it is made: an export-table entry is an offset from
// kernel32's base, so the recorder is reached through a jump placed above kernel32.
class VirtualProtectRecorder {
public:
    struct Change {
        const BYTE* page;
        DWORD from;
        DWORD to;
    };

    VirtualProtectRecorder() = default;
    ~VirtualProtectRecorder() {
        if (m_Patched) {
            DWORD previous = 0;
            VirtualProtect(m_Entry, sizeof(*m_Entry), PAGE_READWRITE, &previous);
            *m_Entry = m_Original;
            VirtualProtect(m_Entry, sizeof(*m_Entry), previous, &previous);
        }
        if (m_Jump != nullptr) {
            VirtualFree(m_Jump, 0, MEM_RELEASE);
        }
        s_Active = nullptr;
    }
    VirtualProtectRecorder(const VirtualProtectRecorder&) = delete;
    VirtualProtectRecorder& operator=(const VirtualProtectRecorder&) = delete;

    void Install() {
        s_Active = this;
        auto* kernel32 = reinterpret_cast<BYTE*>(GetModuleHandleW(L"kernel32.dll"));
        ASSERT_NE(kernel32, nullptr);
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            kernel32 + reinterpret_cast<const IMAGE_DOS_HEADER*>(kernel32)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(kernel32 + directory.VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(kernel32 + exports->AddressOfNames);
        const auto* ordinals = reinterpret_cast<const WORD*>(kernel32 + exports->AddressOfNameOrdinals);
        for (DWORD i = 0; i < exports->NumberOfNames && m_Entry == nullptr; ++i) {
            if (std::strcmp(reinterpret_cast<const char*>(kernel32 + names[i]), "VirtualProtect") == 0) {
                m_Entry = reinterpret_cast<DWORD*>(kernel32 + exports->AddressOfFunctions) + ordinals[i];
            }
        }
        ASSERT_NE(m_Entry, nullptr);
        // A free spot within 4 GB above kernel32, where an export's offset can point.
        const auto base = reinterpret_cast<ULONG_PTR>(kernel32);
        const ULONG_PTR first = (base + headers->OptionalHeader.SizeOfImage + 0xFFFF) & ~0xFFFFull;
        for (ULONG_PTR at = first; at < base + 0xFFFF0000ull && m_Jump == nullptr; at += 0x10000) {
            m_Jump = static_cast<BYTE*>(
                VirtualAlloc(reinterpret_cast<void*>(at), kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        }
        ASSERT_NE(m_Jump, nullptr);
        // movabs rax, Record; jmp rax
        const auto target = reinterpret_cast<ULONG_PTR>(&Record);
        const BYTE jump[] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
        std::memcpy(m_Jump, jump, sizeof(jump));
        std::memcpy(m_Jump + 2, &target, sizeof(target));
        DWORD previous = 0;
        ASSERT_TRUE(VirtualProtect(m_Jump, kPage, PAGE_EXECUTE_READ, &previous));
        FlushInstructionCache(GetCurrentProcess(), m_Jump, sizeof(jump));
        ASSERT_TRUE(VirtualProtect(m_Entry, sizeof(*m_Entry), PAGE_READWRITE, &previous));
        m_Original = *m_Entry;
        *m_Entry = static_cast<DWORD>(m_Jump - kernel32);
        ASSERT_TRUE(VirtualProtect(m_Entry, sizeof(*m_Entry), previous, &previous));
        m_Patched = true;
    }

    // The call of this number (from 1) fails with ERROR_ACCESS_DENIED and changes nothing.
    void FailCall(int number) { m_FailingCall = number; }
    // One change a page, for every page each call covered, from what it had to what it got.
    const std::vector<Change>& Changes() const { return m_Changes; }

private:
    static BOOL WINAPI Record(LPVOID address, SIZE_T size, DWORD protection, PDWORD previous) {
        VirtualProtectRecorder& self = *s_Active;
        const BYTE* first = PageOf(address);
        const BYTE* last = PageOf(static_cast<BYTE*>(address) + (size == 0 ? 0 : size - 1));
        if (++self.m_Calls == self.m_FailingCall) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        std::vector<Change> changes;
        for (const BYTE* page = first; page <= last; page += kPage) {
            changes.push_back({page, ProtectionAt(page), protection});
        }
        const BOOL done = VirtualProtect(address, size, protection, previous);
        if (done) {
            self.m_Changes.insert(self.m_Changes.end(), changes.begin(), changes.end());
        }
        return done;
    }

    static VirtualProtectRecorder* s_Active;
    DWORD* m_Entry = nullptr;
    DWORD m_Original = 0;
    BYTE* m_Jump = nullptr;
    bool m_Patched = false;
    int m_Calls = 0;
    int m_FailingCall = 0;
    std::vector<Change> m_Changes;
};

VirtualProtectRecorder* VirtualProtectRecorder::s_Active = nullptr;

TEST(FixUps, ExecutablePagesStayExecutableAndOthersNeverBecomeSoWhileWritten) {
    LoadedImage image(L"fixup_sample.exe");
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(OpenSample(image, &sample));
    VirtualProtectRecorder recorder;
    ASSERT_NO_FATAL_FAILURE(recorder.Install());

    ASSERT_TRUE(FixUpImage(image.Base(), sample.probe));

    // Both pages of the code section's straddled boundary were written.
    bool codeWritten[2] = {false, false};
    for (const VirtualProtectRecorder::Change& change : recorder.Changes()) {
        EXPECT_EQ(IsExecutable(change.to), IsExecutable(change.from))
            << "page at RVA 0x" << std::hex << change.page - image.Base() << " from 0x" << change.from << " to 0x"
            << change.to;
        for (int i = 0; i < 2; ++i) {
            codeWritten[i] = codeWritten[i] || (change.page == PageOf(sample.straddlingFunction) + i * kPage &&
                                                (change.to == PAGE_EXECUTE_READWRITE || change.to == PAGE_EXECUTE_WRITECOPY));
        }
    }
    EXPECT_TRUE(codeWritten[0] && codeWritten[1]);
}

TEST(FixUps, AProtectionThatCannotBeChangedFailsTheFixUp) {
    LoadedImage image(L"fixup_sample.exe");
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(OpenSample(image, &sample));
    VirtualProtectRecorder recorder;
    ASSERT_NO_FATAL_FAILURE(recorder.Install());
    recorder.FailCall(1);
    EXPECT_FALSE(FixUpImage(image.Base(), sample.probe));
}

// ---- Relocation types ----

// The sample's relocation entry for the pointer at `rva`; its page is made writable for the
// change and given back its protection after.
void SetRelocationType(const LoadedImage& image, DWORD rva, int type) {
    const IMAGE_DATA_DIRECTORY& directory = image.Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    BYTE* block = image.Base() + directory.VirtualAddress;
    BYTE* end = block + directory.Size;
    while (block + sizeof(IMAGE_BASE_RELOCATION) <= end) {
        const auto* header = reinterpret_cast<const IMAGE_BASE_RELOCATION*>(block);
        ASSERT_GE(header->SizeOfBlock, sizeof(IMAGE_BASE_RELOCATION));
        auto* entries = reinterpret_cast<WORD*>(block + sizeof(IMAGE_BASE_RELOCATION));
        for (size_t i = 0; i < (header->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD); ++i) {
            if (header->VirtualAddress + (entries[i] & 0xFFF) == rva && (entries[i] >> 12) == IMAGE_REL_BASED_DIR64) {
                DWORD previous = 0;
                ASSERT_TRUE(VirtualProtect(&entries[i], sizeof(WORD), PAGE_READWRITE, &previous));
                entries[i] = static_cast<WORD>((type << 12) | (entries[i] & 0xFFF));
                ASSERT_TRUE(VirtualProtect(&entries[i], sizeof(WORD), previous, &previous));
                return;
            }
        }
        block += header->SizeOfBlock;
    }
    FAIL() << "no relocation for RVA 0x" << std::hex << rva;
}

class RelocationType : public ::testing::TestWithParam<int> {};

// Every type a 4-bit field can hold, put on the entry of the straddling data pointer. Those
// an image for this machine holds are applied (padding, a 32-bit address, a 64-bit one); any
// other fails the fix-up before it has written anything.
TEST_P(RelocationType, IsAppliedOrFailsTheFixUpBeforeAnythingIsWritten) {
    const int type = GetParam();
    LoadedImage image(L"fixup_sample.exe");
    Sample sample;
    ASSERT_NO_FATAL_FAILURE(OpenSample(image, &sample));
    const auto pointerRva = static_cast<DWORD>(reinterpret_cast<BYTE*>(sample.dataPointer) - image.Base());
    ASSERT_NO_FATAL_FAILURE(SetRelocationType(image, pointerRva, type));
    const ULONG_PTR delta = reinterpret_cast<ULONG_PTR>(sample.probe) - reinterpret_cast<ULONG_PTR>(*sample.probe);
    const ULONG_PTR linkedProbe = reinterpret_cast<ULONG_PTR>(*sample.probe);
    const ULONG_PTR linkedPointer = *sample.dataPointer;
    const ULONG_PTR linkedReadonlyPointer = *sample.readonlyPointer;
    const std::vector<DWORD> before = image.PageProtections();

    const bool fixedUp = FixUpImage(image.Base(), sample.probe);

    ExpectSameProtections(before, image.PageProtections());
    if (type == IMAGE_REL_BASED_ABSOLUTE || type == IMAGE_REL_BASED_HIGHLOW || type == IMAGE_REL_BASED_DIR64) {
        ASSERT_TRUE(fixedUp);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(*sample.probe), linkedProbe + delta);
        EXPECT_EQ(*sample.readonlyPointer, linkedReadonlyPointer + delta);
        const ULONG_PTR expected =
            type == IMAGE_REL_BASED_ABSOLUTE ? linkedPointer
            : type == IMAGE_REL_BASED_DIR64  ? linkedPointer + delta
                                             : (linkedPointer & ~0xFFFFFFFFull) | static_cast<DWORD>(linkedPointer + delta);
        EXPECT_EQ(*sample.dataPointer, expected);
    } else {
        EXPECT_FALSE(fixedUp);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(*sample.probe), linkedProbe);
        EXPECT_EQ(*sample.dataPointer, linkedPointer);
        EXPECT_EQ(*sample.readonlyPointer, linkedReadonlyPointer);
    }
}

INSTANTIATE_TEST_SUITE_P(FixUps, RelocationType, ::testing::Range(0, 16));

// ---- The exports of an image that loads as a library ----

using EnumInterfaceFn = HRESULT (*)(LONG*, _MBIMIDS*);
using ConnectInterfaceFn = HRESULT (*)(wchar_t*);
using DisconnectInterfaceFn = HRESULT (*)();
using OpenCommandSessionFn = HRESULT (*)(wchar_t*);
using CloseCommandSessionFn = BOOL (*)(wchar_t*);
using SetCommandFn = HRESULT (*)(wchar_t*, wchar_t*, ULONG, ULONG, BYTE*, ULONG*, BYTE*, ULONG);
using QueryCommandFn = HRESULT (*)(wchar_t*, wchar_t*, ULONG, ULONG, BYTE*, ULONG*, BYTE*);
using GetRadioStateFn = HRESULT (*)(wchar_t*, MBN_RADIO*, MBN_RADIO*);
using GetConnectionStateFn = HRESULT (*)(wchar_t*, MBN_ACTIVATION_STATE*);
using GetRegisterStateFn = HRESULT (*)(wchar_t*, MBN_REGISTER_STATE*);

constexpr MBN_RADIO kUntouchedRadio = static_cast<MBN_RADIO>(-1);

// A first call of GetRadioState made on a thread of its own: the thread is started first and
// makes the call when told, so its start (which waits for the loader) is over by then.
class RadioStateCall {
public:
    explicit RadioStateCall(GetRadioStateFn function) : m_Function(function), m_Go(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        m_Thread = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
    }
    ~RadioStateCall() {
        SetEvent(m_Go);
        if (m_Thread != nullptr) {
            WaitForSingleObject(m_Thread, 60000);
            CloseHandle(m_Thread);
        }
        CloseHandle(m_Go);
    }
    RadioStateCall(const RadioStateCall&) = delete;
    RadioStateCall& operator=(const RadioStateCall&) = delete;

    bool Started() const { return m_Go != nullptr && m_Thread != nullptr; }
    void Go() { SetEvent(m_Go); }
    bool Finish(DWORD timeoutMs) { return WaitForSingleObject(m_Thread, timeoutMs) == WAIT_OBJECT_0; }
    // The thread's processor time so far, user and kernel (Wine reads it only while the thread
    // runs).
    ULONGLONG CpuMs() const {
        FILETIME created, exited, kernel, user;
        if (!GetThreadTimes(m_Thread, &created, &exited, &kernel, &user)) {
            return ~0ull;
        }
        const auto ticks = [](const FILETIME& time) {
            return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
        };
        return (ticks(kernel) + ticks(user)) / 10000;
    }

    HRESULT result = E_UNEXPECTED;
    MBN_RADIO software = kUntouchedRadio;
    MBN_RADIO hardware = kUntouchedRadio;

private:
    static DWORD WINAPI Run(void* context) {
        auto& self = *static_cast<RadioStateCall*>(context);
        WaitForSingleObject(self.m_Go, INFINITE);
        wchar_t id[] = L"{5A3E0AC9-0000-4000-8000-00000000004A}";
        self.result = self.m_Function(id, &self.software, &self.hardware);
        return 0;
    }

    GetRadioStateFn m_Function;
    HANDLE m_Go;
    HANDLE m_Thread = nullptr;
};

class NamedEvent {
public:
    explicit NamedEvent(const wchar_t* role) {
        const std::wstring name = L"QuarnFixupHeldImport." + std::to_wstring(GetCurrentProcessId()) + L"." + role;
        m_Event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    }
    ~NamedEvent() {
        if (m_Event != nullptr) {
            CloseHandle(m_Event);
        }
    }
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;
    HANDLE get() const { return m_Event; }

private:
    HANDLE m_Event;
};

TEST(ImageExports, AMissingImportDllFailsEveryExportWithoutRunningIt) {
    LoadedImage image(L"fixup_exports_absent.exe");
    ASSERT_TRUE(image.Loaded()) << GetLastError();
    ASSERT_EQ(GetModuleHandleW(L"quarn_fixup_absent.dll"), nullptr);
    auto enumInterface = image.Function<EnumInterfaceFn>("?EnumInterface@@YAJPEAJQEAU_MBIMIDS@@@Z");
    auto connectInterface = image.Function<ConnectInterfaceFn>("?ConnectInterface@@YAJPEA_W@Z");
    auto disconnectInterface = image.Function<DisconnectInterfaceFn>("?DisconnectInterface@@YAJXZ");
    auto openSession = image.Function<OpenCommandSessionFn>("?OpenCommandSession@@YAJPEA_W@Z");
    auto closeSession = image.Function<CloseCommandSessionFn>("?CloseCommandSession@@YAHPEA_W@Z");
    auto setCommand = image.Function<SetCommandFn>("?SetCommand@@YAJPEA_W0KKPEAEPEAK1K@Z");
    auto queryCommand = image.Function<QueryCommandFn>("?QueryCommand@@YAJPEA_W0KKPEAEPEAK1@Z");
    auto radioState = image.Function<GetRadioStateFn>("?GetRadioState@@YAJPEA_WPEAW4MBN_RADIO@@1@Z");
    auto connectionState =
        image.Function<GetConnectionStateFn>("?GetConnectionState@@YAJPEA_WPEAW4MBN_ACTIVATION_STATE@@@Z");
    auto registerState =
        image.Function<GetRegisterStateFn>("?GetRegisterState@@YAJPEA_WPEAW4MBN_REGISTER_STATE@@@Z");
    ASSERT_TRUE(enumInterface && connectInterface && disconnectInterface && openSession && closeSession && setCommand &&
                queryCommand && radioState && connectionState && registerState);

    // Every export fails, the first call and those after it: none runs on the half-fixed image.
    wchar_t id[] = L"{5A3E0AC9-0000-4000-8000-00000000004A}";
    wchar_t service[] = L"{DA138C64-6515-4893-92B2-A1E1CA7C81CA}";
    LONG count = -1;
    _MBIMIDS ids[2] = {};
    BYTE command[] = {'a', 't', '\r', '\n'};
    BYTE response[4096] = {};
    ULONG responseSize = 12345;
    MBN_RADIO software = kUntouchedRadio;
    MBN_RADIO hardware = kUntouchedRadio;
    auto activation = static_cast<MBN_ACTIVATION_STATE>(-1);
    auto registration = static_cast<MBN_REGISTER_STATE>(-1);
    EXPECT_EQ(enumInterface(&count, ids), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(connectInterface(id), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(disconnectInterface(), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(openSession(service), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(closeSession(service), FALSE);
    EXPECT_EQ(setCommand(nullptr, service, 1, sizeof(command), command, &responseSize, response, 100), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(queryCommand(nullptr, service, 1, sizeof(command), command, &responseSize, response), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(responseSize, 12345u);
    EXPECT_EQ(radioState(id, &software, &hardware), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(software, kUntouchedRadio);
    EXPECT_EQ(connectionState(id, &activation), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(activation, static_cast<MBN_ACTIVATION_STATE>(-1));
    EXPECT_EQ(registerState(nullptr, &registration), MBN_E_IMAGE_NOT_READY);
    EXPECT_EQ(registration, static_cast<MBN_REGISTER_STATE>(-1));
}

// Two first calls at once: one prepares the image (held inside it by the import that waits
// for the test); the other, made meanwhile, must wait for it without spinning, then run on
// the prepared image. Time: the hold lasts 1500 ms; a thread that waits uses almost no
// processor time in it, one that spins uses the hold's worth less what a loaded two-core
// machine takes from it, so a third of the hold leaves room both ways.
TEST(ImageExports, TwoThreadsMakingTheFirstCallAtOnceBothWaitForOnePreparation) {
    constexpr DWORD kHoldMs = 1500;
    NamedEvent entered(L"entered");
    NamedEvent release(L"release");
    ASSERT_TRUE(entered.get() && release.get());
    LoadedImage image(L"fixup_exports_held.exe");
    ASSERT_TRUE(image.Loaded()) << GetLastError();
    ASSERT_EQ(GetModuleHandleW(L"quarn_fixup_held.dll"), nullptr) << "the loader bound the image's imports itself";
    auto radioState = image.Function<GetRadioStateFn>("?GetRadioState@@YAJPEA_WPEAW4MBN_RADIO@@1@Z");
    ASSERT_NE(radioState, nullptr);
    RadioStateCall first(radioState);
    RadioStateCall second(radioState);
    // Whatever happens below, the held import lets go before the calls are waited for.
    struct LetGo {
        HANDLE event;
        ~LetGo() { SetEvent(event); }
    } letGo{release.get()};
    ASSERT_TRUE(first.Started() && second.Started());

    first.Go();
    ASSERT_EQ(WaitForSingleObject(entered.get(), 30000), WAIT_OBJECT_0) << "the first call never bound the held import";
    second.Go();
    Sleep(kHoldMs);
    const ULONGLONG secondCpuMs = second.CpuMs();
    EXPECT_FALSE(second.Finish(0)) << "the second call returned while the first was preparing the image";
    SetEvent(release.get());
    ASSERT_TRUE(first.Finish(30000) && second.Finish(30000));

    // Without a connected interface the radio reads as off: both calls ran, fully prepared.
    for (const RadioStateCall* call : {&first, &second}) {
        EXPECT_EQ(call->result, S_OK);
        EXPECT_EQ(call->software, MBN_RADIO_OFF);
        EXPECT_EQ(call->hardware, MBN_RADIO_OFF);
    }
    EXPECT_LT(secondCpuMs, kHoldMs / 3) << "the second call spun while the first prepared the image";
}

}  // namespace
