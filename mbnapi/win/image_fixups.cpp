#include "mbnapi/win/image_fixups.h"

#include <windows.h>
#include <winternl.h>
#include <intrin.h>

#include <atomic>

namespace {

enum : int { UNPREPARED = 0, PREPARING = 1, PREPARED = 2 };
std::atomic<int> g_ImageState{UNPREPARED};

// Holds its own address through a base relocation: the two differ while the image is not
// relocated, by exactly what the relocations must add.
void* volatile g_RelocationProbe = const_cast<void**>(&g_RelocationProbe);

using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
using LoadLibraryAFn = HMODULE(WINAPI*)(LPCSTR);
using VirtualProtectFn = BOOL(WINAPI*)(LPVOID, SIZE_T, DWORD, PDWORD);

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

// The loaded module that holds `address`.
void* ModuleHolding(const void* address) {
    const PEB* peb = ProcessEnvironment();
    const LIST_ENTRY* head = &peb->Ldr->InMemoryOrderModuleList;
    for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        const BYTE* base = static_cast<const BYTE*>(entry->DllBase);
        if (base != nullptr && address >= base &&
            address < base + NtHeadersOf(base)->OptionalHeader.SizeOfImage) {
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

// Adds `delta` at `target`, making its page writable for the moment; each page keeps its
// own protection (a range over two pages would give the second the first one's).
void AddDelta(BYTE* target, size_t size, ULONG_PTR delta, VirtualProtectFn virtualProtect) {
    DWORD previous = 0;
    if (!virtualProtect(target, size, PAGE_READWRITE, &previous)) {
        return;
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
    virtualProtect(target, size, previous, &previous);
}

// Adds `delta` to every address the image's base relocations name.
void Relocate(void* module, ULONG_PTR delta, VirtualProtectFn virtualProtect) {
    constexpr size_t PAGE = 0x1000;
    const IMAGE_DATA_DIRECTORY& directory =
        NtHeadersOf(module)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    const BYTE* block = AtRva<const BYTE>(module, directory.VirtualAddress);
    const BYTE* end = block + directory.Size;
    while (directory.VirtualAddress != 0 && block + sizeof(IMAGE_BASE_RELOCATION) <= end) {
        const auto* header = reinterpret_cast<const IMAGE_BASE_RELOCATION*>(block);
        if (header->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION)) {
            break;
        }
        BYTE* page = AtRva<BYTE>(module, header->VirtualAddress);
        const WORD* entries = reinterpret_cast<const WORD*>(header + 1);
        const size_t count = (header->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD);
        DWORD previous = 0;
        // The block's page is made writable once; a target reaching into the next page is
        // done on its own.
        const bool writable = virtualProtect(page, PAGE, PAGE_READWRITE, &previous) != FALSE;
        for (size_t i = 0; writable && i < count; ++i) {
            const int type = entries[i] >> 12;
            const size_t offset = entries[i] & 0xFFF;
            const size_t size = type == IMAGE_REL_BASED_DIR64 ? sizeof(ULONG_PTR)
                                : type == IMAGE_REL_BASED_HIGHLOW ? sizeof(DWORD)
                                                                  : 0;
            if (size == 0) {
                continue;
            }
            if (offset + size > PAGE) {
                AddDelta(page + offset, size, delta, virtualProtect);
            } else if (size == sizeof(ULONG_PTR)) {
                *reinterpret_cast<ULONG_PTR UNALIGNED*>(page + offset) += delta;
            } else {
                *reinterpret_cast<DWORD UNALIGNED*>(page + offset) += static_cast<DWORD>(delta);
            }
        }
        if (writable) {
            virtualProtect(page, PAGE, previous, &previous);
        }
        block += header->SizeOfBlock;
    }
}

void BindImports(void* module, VirtualProtectFn virtualProtect) {
    void* kernel32 = LoadedModule("kernel32.dll", 12);
    auto getProcAddress = reinterpret_cast<GetProcAddressFn>(FindExport(kernel32, "GetProcAddress"));
    auto loadLibrary = reinterpret_cast<LoadLibraryAFn>(FindExport(kernel32, "LoadLibraryA"));
    if (getProcAddress == nullptr || loadLibrary == nullptr) {
        return;
    }
    for (const IMAGE_IMPORT_DESCRIPTOR* import = ImportsOf(module); import != nullptr && import->Name != 0; ++import) {
        HMODULE library = loadLibrary(AtRva<const char>(module, import->Name));
        if (library == nullptr || import->OriginalFirstThunk == 0) {
            continue;
        }
        const auto* names = AtRva<const IMAGE_THUNK_DATA>(module, import->OriginalFirstThunk);
        auto* slots = AtRva<IMAGE_THUNK_DATA>(module, import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            const LPCSTR symbol =
                IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                    ? reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(IMAGE_ORDINAL(names->u1.Ordinal)))
                    : AtRva<const IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData))->Name;
            const FARPROC function = getProcAddress(library, symbol);
            DWORD previous = 0;
            if (virtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &previous)) {
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(function);
                virtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), previous, &previous);
            }
        }
    }
}

}  // namespace

bool FixUpImage(void* base, const void* relocationProbe) {
    auto virtualProtect =
        reinterpret_cast<VirtualProtectFn>(FindExport(LoadedModule("kernel32.dll", 12), "VirtualProtect"));
    if (base == nullptr || virtualProtect == nullptr) {
        return false;
    }
    const ULONG_PTR delta = reinterpret_cast<ULONG_PTR>(relocationProbe) -
                            *static_cast<const volatile ULONG_PTR*>(relocationProbe);
    if (delta != 0) {
        Relocate(base, delta, virtualProtect);
    }
    if (NeedsBinding(base)) {
        BindImports(base, virtualProtect);
    }
    return true;
}

void PrepareImageForExports() {
    if (g_ImageState.load(std::memory_order_acquire) == PREPARED) {
        return;
    }
    int expected = UNPREPARED;
    if (g_ImageState.compare_exchange_strong(expected, PREPARING, std::memory_order_acq_rel)) {
        FixUpImage(ModuleHolding(const_cast<void**>(&g_RelocationProbe)), const_cast<void**>(&g_RelocationProbe));
        g_ImageState.store(PREPARED, std::memory_order_release);
        return;
    }
    // Another thread is preparing: nothing of the image may run before it is done.
    while (g_ImageState.load(std::memory_order_acquire) != PREPARED) {
        _mm_pause();
    }
}
