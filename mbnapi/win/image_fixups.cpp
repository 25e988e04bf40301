#include "mbnapi/win/image_fixups.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>

namespace {

enum : int { NOT_PREPARED = 0, PREPARED = 1, FAILED = 2 };
std::atomic<int> g_ImageState{NOT_PREPARED};
// Held by the thread that prepares; others wait in it rather than in a loop. SRWLOCK_INIT
// is all zero, so the lock is ready with no start-up code.
SRWLOCK g_PreparationLock = SRWLOCK_INIT;

// Holds its own address through a base relocation: the two differ while the image is not
// relocated, by exactly what the relocations must add.
void* volatile g_RelocationProbe = const_cast<void**>(&g_RelocationProbe);

using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
using LoadLibraryAFn = HMODULE(WINAPI*)(LPCSTR);
using VirtualProtectFn = BOOL(WINAPI*)(LPVOID, SIZE_T, DWORD, PDWORD);
using VirtualQueryFn = SIZE_T(WINAPI*)(LPCVOID, PMEMORY_BASIC_INFORMATION, SIZE_T);
using SrwLockFn = VOID(WINAPI*)(PSRWLOCK);

template <typename T>
T* AtRva(const void* base, DWORD rva) {
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(const_cast<void*>(base)) + rva);
}

const IMAGE_NT_HEADERS* NtHeadersOf(const void* base) {
    return AtRva<const IMAGE_NT_HEADERS>(base, static_cast<DWORD>(static_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew));
}

// The process environment block, from the thread's GS segment. GCC 12 takes the read at a
// constant segment offset for an out-of-bounds array access.
const PEB* ProcessEnvironment() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return reinterpret_cast<const PEB*>(__readgsqword(0x60));
#pragma GCC diagnostic pop
}

char LowerAscii(wchar_t c) { return static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c); }

// The loaded module whose file name (after the last backslash) is `name`, lower case, from
// the process's loader list: no call is needed to read it.
void* LoadedModule(const char* name, size_t nameLength) {
    const PEB* peb = ProcessEnvironment();
    const LIST_ENTRY* head = &peb->Ldr->InMemoryOrderModuleList;
    for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        const UNICODE_STRING& path = entry->FullDllName;
        const size_t length = path.Length / sizeof(wchar_t);
        if (path.Buffer == nullptr || length < nameLength) {
            continue;
        }
        const wchar_t* tail = path.Buffer + length - nameLength;
        if (length > nameLength && tail[-1] != L'\\' && tail[-1] != L'/') {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < nameLength && same; ++i) {
            same = LowerAscii(tail[i]) == name[i];
        }
        if (same) {
            return entry->DllBase;
        }
    }
    return nullptr;
}

bool SameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// An export of a loaded module by name, following a forwarder to another loaded module.
void* FindExport(void* module, const char* name, int depth = 0) {
    if (module == nullptr || depth > 4) {
        return nullptr;
    }
    const IMAGE_DATA_DIRECTORY& directory = NtHeadersOf(module)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0) {
        return nullptr;
    }
    const auto* exports = AtRva<const IMAGE_EXPORT_DIRECTORY>(module, directory.VirtualAddress);
    const DWORD* names = AtRva<const DWORD>(module, exports->AddressOfNames);
    const WORD* ordinals = AtRva<const WORD>(module, exports->AddressOfNameOrdinals);
    const DWORD* functions = AtRva<const DWORD>(module, exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (!SameText(AtRva<const char>(module, names[i]), name)) {
            continue;
        }
        const DWORD rva = functions[ordinals[i]];
        if (rva < directory.VirtualAddress || rva >= directory.VirtualAddress + directory.Size) {
            return AtRva<void>(module, rva);
        }
        // "module.function": the module is loaded already, as its exporter imports it.
        const char* forward = AtRva<const char>(module, rva);
        char target[64];
        size_t length = 0;
        while (forward[length] != '.' && forward[length] != '\0' && length + 5 < sizeof(target)) {
            target[length] = static_cast<char>(forward[length] >= 'A' && forward[length] <= 'Z'
                                                   ? forward[length] - 'A' + 'a'
                                                   : forward[length]);
            ++length;
        }
        if (forward[length] != '.') {
            return nullptr;
        }
        const char* function = forward + length + 1;
        for (const char* suffix = ".dll"; *suffix != '\0'; ++suffix) {
            target[length++] = *suffix;
        }
        target[length] = '\0';
        return FindExport(LoadedModule(target, length), function, depth + 1);
    }
    return nullptr;
}

const IMAGE_IMPORT_DESCRIPTOR* ImportsOf(void* module) {
    const IMAGE_DATA_DIRECTORY& directory = NtHeadersOf(module)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    return directory.VirtualAddress == 0 ? nullptr : AtRva<const IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress);
}

// An import slot still holding what the name table holds was never bound.
bool NeedsBinding(void* module) {
    const IMAGE_IMPORT_DESCRIPTOR* imports = ImportsOf(module);
    if (imports == nullptr || imports->Name == 0 || imports->OriginalFirstThunk == 0) {
        return false;
    }
    const auto* names = AtRva<const IMAGE_THUNK_DATA>(module, imports->OriginalFirstThunk);
    const auto* slots = AtRva<const IMAGE_THUNK_DATA>(module, imports->FirstThunk);
    return names->u1.AddressOfData != 0 && slots->u1.Function == names->u1.AddressOfData;
}

constexpr size_t PAGE = 0x1000;

BYTE* PageStart(BYTE* address) {
    return reinterpret_cast<BYTE*>(reinterpret_cast<ULONG_PTR>(address) & ~static_cast<ULONG_PTR>(PAGE - 1));
}

bool IsExecutable(DWORD protection) {
    return (protection & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// The pages being written, at most two at a time (a value may cross into the next page).
// Each is made writable, executable still if it was (the code that runs the fix-up may sit
// on it), and is given back exactly the protection it had, page by page.
class WritablePages {
public:
    WritablePages(VirtualQueryFn query, VirtualProtectFn protect) : m_Query(query), m_Protect(protect) {}

    // Makes [address, address + size) writable; size is at most a page.
    bool Cover(BYTE* address, size_t size) {
        BYTE* first = PageStart(address);
        BYTE* last = PageStart(address + size - 1);
        if (IsOpen(first) && IsOpen(last)) {
            return true;
        }
        return RestoreAll() && Open(first) && (last == first || Open(last));
    }

    // Gives every open page its own protection back; false if one could not be.
    bool RestoreAll() {
        bool restored = true;
        for (size_t i = 0; i < m_Count; ++i) {
            DWORD changed = 0;
            restored = m_Protect(m_Pages[i].start, PAGE, m_Pages[i].protection, &changed) != FALSE && restored;
        }
        m_Count = 0;
        return restored;
    }

private:
    struct Page {
        BYTE* start;
        DWORD protection;
    };

    bool IsOpen(const BYTE* page) const {
        for (size_t i = 0; i < m_Count; ++i) {
            if (m_Pages[i].start == page) {
                return true;
            }
        }
        return false;
    }

    bool Open(BYTE* page) {
        MEMORY_BASIC_INFORMATION info;
        if (m_Query(page, &info, sizeof(info)) != sizeof(info)) {
            return false;
        }
        const DWORD writable = IsExecutable(info.Protect) ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE;
        DWORD previous = 0;
        if (!m_Protect(page, PAGE, writable, &previous)) {
            return false;
        }
        m_Pages[m_Count++] = Page{page, previous};
        return true;
    }

    VirtualQueryFn m_Query;
    VirtualProtectFn m_Protect;
    Page m_Pages[2];
    size_t m_Count = 0;
};

// What an entry of this type writes: its size, 0 for padding, -1 for a type not applied.
// An x64 image holds 64-bit addresses (DIR64) and padding (ABSOLUTE); a 32-bit absolute
// reference gives HIGHLOW, possible in an image linked below 4 GB. Every other type is
// refused rather than skipped, since skipping leaves an address wrong: HIGH, LOW and HIGHADJ
// (whose entry takes the next slot for its low half) belong to 32-bit images and the rest to
// other machines. No x64 linker emits them, so none could be tested, and refusing is safe:
// the whole table is checked before any entry is applied.
int RelocationSize(int type) {
    if (type == IMAGE_REL_BASED_ABSOLUTE) {
        return 0;
    }
    if (type == IMAGE_REL_BASED_HIGHLOW) {
        return sizeof(DWORD);
    }
    if (type == IMAGE_REL_BASED_DIR64) {
        return sizeof(ULONG_PTR);
    }
    return -1;
}

// Calls visit(address, size) for each value the image's base relocations name; false, with
// no further call, when the table is malformed, names a value outside the image, holds a
// type not applied, or `visit` fails.
template <typename Visit>
bool ForEachRelocation(BYTE* module, Visit visit) {
    const ULONG_PTR imageSize = NtHeadersOf(module)->OptionalHeader.SizeOfImage;
    const IMAGE_DATA_DIRECTORY& directory =
        NtHeadersOf(module)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    // A moved image without relocations cannot run (its probe alone needs one).
    if (directory.VirtualAddress == 0 || static_cast<ULONG_PTR>(directory.VirtualAddress) + directory.Size > imageSize) {
        return false;
    }
    const BYTE* block = module + directory.VirtualAddress;
    const BYTE* end = block + directory.Size;
    while (static_cast<size_t>(end - block) >= sizeof(IMAGE_BASE_RELOCATION)) {
        const auto* header = reinterpret_cast<const IMAGE_BASE_RELOCATION*>(block);
        if (header->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION) || header->SizeOfBlock > static_cast<size_t>(end - block)) {
            return false;
        }
        const WORD* entries = reinterpret_cast<const WORD*>(header + 1);
        const size_t count = (header->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD);
        for (size_t i = 0; i < count; ++i) {
            const int size = RelocationSize(entries[i] >> 12);
            const ULONG_PTR rva = static_cast<ULONG_PTR>(header->VirtualAddress) + (entries[i] & 0xFFF);
            if (size < 0 || rva + size > imageSize) {
                return false;
            }
            if (size > 0 && !visit(module + rva, size)) {
                return false;
            }
        }
        block += header->SizeOfBlock;
    }
    return true;
}

// Adds `delta` to every value the base relocations name. The table is checked whole first,
// so a table that cannot be applied leaves the image as it was.
bool Relocate(BYTE* module, ULONG_PTR delta, WritablePages& pages) {
    if (!ForEachRelocation(module, [](BYTE*, int) { return true; })) {
        return false;
    }
    const bool applied = ForEachRelocation(module, [&pages, delta](BYTE* target, int size) {
        if (!pages.Cover(target, size)) {
            return false;
        }
        if (size == sizeof(ULONG_PTR)) {
            ULONG_PTR value;
            __builtin_memcpy(&value, target, sizeof(value));
            value += delta;
            __builtin_memcpy(target, &value, sizeof(value));
        } else {
            DWORD value;
            __builtin_memcpy(&value, target, sizeof(value));
            value += static_cast<DWORD>(delta);
            __builtin_memcpy(target, &value, sizeof(value));
        }
        return true;
    });
    return pages.RestoreAll() && applied;
}

// Fills every import slot. Stops at the first import DLL that does not load, or name or
// ordinal that does not resolve. No page stays writable while an import DLL loads (its
// initialisation runs then).
bool BindImports(BYTE* module, LoadLibraryAFn loadLibrary, GetProcAddressFn getProcAddress, WritablePages& pages) {
    for (const IMAGE_IMPORT_DESCRIPTOR* import = ImportsOf(module); import != nullptr && import->Name != 0; ++import) {
        // Without a name table the slots are the only copy of the names: not made by our linker.
        if (import->OriginalFirstThunk == 0 || !pages.RestoreAll()) {
            return false;
        }
        HMODULE library = loadLibrary(AtRva<const char>(module, import->Name));
        if (library == nullptr) {
            return false;
        }
        const auto* names = AtRva<const IMAGE_THUNK_DATA>(module, import->OriginalFirstThunk);
        auto* slots = AtRva<IMAGE_THUNK_DATA>(module, import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            const LPCSTR symbol =
                IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                    ? reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(IMAGE_ORDINAL(names->u1.Ordinal)))
                    : AtRva<const IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData))->Name;
            const FARPROC function = getProcAddress(library, symbol);
            if (function == nullptr || !pages.Cover(reinterpret_cast<BYTE*>(&slots->u1.Function), sizeof(slots->u1.Function))) {
                pages.RestoreAll();
                return false;
            }
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(function);
        }
    }
    return pages.RestoreAll();
}

// The image that holds `address`: the base of the mapping it lies in.
void* ImageHolding(const void* address) {
    const auto query =
        reinterpret_cast<VirtualQueryFn>(FindExport(LoadedModule("kernel32.dll", 12), "VirtualQuery"));
    MEMORY_BASIC_INFORMATION info;
    if (query == nullptr || query(address, &info, sizeof(info)) != sizeof(info) || info.Type != MEM_IMAGE) {
        return nullptr;
    }
    return info.AllocationBase;
}

}  // namespace

bool FixUpImage(void* base, const void* relocationProbe) {
    void* kernel32 = LoadedModule("kernel32.dll", 12);
    const auto query = reinterpret_cast<VirtualQueryFn>(FindExport(kernel32, "VirtualQuery"));
    const auto protect = reinterpret_cast<VirtualProtectFn>(FindExport(kernel32, "VirtualProtect"));
    const auto loadLibrary = reinterpret_cast<LoadLibraryAFn>(FindExport(kernel32, "LoadLibraryA"));
    const auto getProcAddress = reinterpret_cast<GetProcAddressFn>(FindExport(kernel32, "GetProcAddress"));
    auto* module = static_cast<BYTE*>(base);
    const auto* probe = static_cast<const BYTE*>(relocationProbe);
    if (query == nullptr || protect == nullptr || loadLibrary == nullptr || getProcAddress == nullptr ||
        module == nullptr || probe < module || probe + sizeof(ULONG_PTR) > module + NtHeadersOf(module)->OptionalHeader.SizeOfImage) {
        return false;
    }
    const ULONG_PTR delta =
        reinterpret_cast<ULONG_PTR>(probe) - *reinterpret_cast<const volatile ULONG_PTR*>(probe);
    WritablePages pages(query, protect);
    if (delta != 0 && !Relocate(module, delta, pages)) {
        return false;
    }
    return !NeedsBinding(module) || BindImports(module, loadLibrary, getProcAddress, pages);
}

bool PrepareImageForExports() {
    const int state = g_ImageState.load(std::memory_order_acquire);
    if (state != NOT_PREPARED) {
        return state == PREPARED;
    }
    void* kernel32 = LoadedModule("kernel32.dll", 12);
    const auto acquire = reinterpret_cast<SrwLockFn>(FindExport(kernel32, "AcquireSRWLockExclusive"));
    const auto release = reinterpret_cast<SrwLockFn>(FindExport(kernel32, "ReleaseSRWLockExclusive"));
    if (acquire == nullptr || release == nullptr) {
        return false;
    }
    acquire(&g_PreparationLock);
    int prepared = g_ImageState.load(std::memory_order_relaxed);
    if (prepared == NOT_PREPARED) {
        void* probe = const_cast<void**>(&g_RelocationProbe);
        prepared = FixUpImage(ImageHolding(probe), probe) ? PREPARED : FAILED;
        g_ImageState.store(prepared, std::memory_order_release);
    }
    release(&g_PreparationLock);
    return prepared == PREPARED;
}
