// Checks the compat declarations against the recorded API facts. compat/api_facts.py turns
// every row of ../shared/winapi/mbn-com.md and winrt-network-operators.md into one macro line
// (mbn-com.inc, winrt-network-operators.inc in the build tree); each is included twice: as
// static_asserts of what the compiler sees (IIDs, CLSIDs, bases, exact method signatures,
// enum values and widths, struct layouts, constants, runtime-class names), and as run-time
// checks of what it cannot see (vtable slots and lengths, __uuidof). A wrong digit, two
// swapped 32-bit arguments or a method out of order would otherwise only show up as a
// crash, E_NOINTERFACE or garbage on a real Windows machine.
#include "compat/mbn_api.h"
#include "compat/winrt_network_operators.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace {

constexpr bool SameGuid(const GUID& a, const GUID& b) {
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}

constexpr bool SameText(const wchar_t* a, const wchar_t* b) {
    while (*a != L'\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// Base is I's base as far as COM can tell: I derives from it, and from no other of the
// three roots unless Base itself does.
template <class Base, class I>
constexpr bool DerivesFrom = std::is_base_of_v<Base, I> &&
                             (!std::is_base_of_v<IInspectable, I> || std::is_base_of_v<IInspectable, Base>) &&
                             (!std::is_base_of_v<IDispatch, I> || std::is_base_of_v<IDispatch, Base>);

constexpr bool kWin64 = sizeof(void*) == 8;

// GCC lays out a pointer to a virtual member function as {1 + byte offset in the vtable,
// this-adjustment} (the Itanium C++ ABI, which mingw-w64's GCC uses); that offset is the COM
// slot. SlotProbeMatchesKnownSlots confirms this on the system's interfaces.
template <class Member>
long SlotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void*), "unexpected member pointer layout");
    std::uintptr_t ptr;
    std::memcpy(&ptr, &member, sizeof(ptr));
    return (ptr & 1) == 0 ? -1 : static_cast<long>((ptr - 1) / sizeof(void*));
}

// The first virtual a derived class adds lands right after the base's last slot.
template <class I>
struct VtableEnd : I {
    virtual void QuarnProbeAfterLastSlot() = 0;
};

template <class I>
long SlotCount() {
    return SlotOf(&VtableEnd<I>::QuarnProbeAfterLastSlot);
}

struct RuntimeFact {
    const char* name;  // an interface, or an interface's method
    long declared_slot, facts_slot;
    GUID declared_uuid, facts_uuid;
};

}  // namespace

#if defined(QUARN_API_FACTS)

#define FACT_INTERFACE(I, Base, Length, ...)                                    \
    static_assert(SameGuid(IID_##I, GUID{__VA_ARGS__}), "IID_" #I " differs"); \
    static_assert(DerivesFrom<Base, I>, #I " must derive from " #Base);
#define FACT_METHOD(I, Slot, Name, Params)                                                    \
    static_assert(std::is_same_v<decltype(&I::Name), HRESULT(STDMETHODCALLTYPE I::*) Params>, \
                  "signature of " #I "::" #Name);
#define FACT_SYSTEM_IID(I, ...) static_assert(SameGuid(IID_##I, GUID{__VA_ARGS__}), "IID_" #I " differs");
#define FACT_CLSID(C, ...) static_assert(SameGuid(CLSID_##C, GUID{__VA_ARGS__}), "CLSID_" #C " differs");
#define FACT_ENUM(E, Name, Value)                                                              \
    static_assert(std::is_same_v<decltype(Name), E> && Name == Value && sizeof(E) == 4, \
                  #Name " = " #Value ", 32 bits");
#define FACT_STRUCT(S, Size64, Size32) static_assert(sizeof(S) == (kWin64 ? Size64 : Size32), "size of " #S);
#define FACT_FIELD(S, F, T, Offset64, Offset32)                                                              \
    static_assert(std::is_same_v<decltype(S::F), T> && offsetof(S, F) == (kWin64 ? Offset64 : Offset32), \
                  "type and offset of " #S "::" #F);
#define FACT_CONSTANT(C, Value) static_assert(C == Value, #C " = " #Value);
#define FACT_RUNTIME_CLASS(Id, Name) static_assert(SameText(RuntimeClass_##Id, Name), "RuntimeClass_" #Id);

// Unqualified, as in the facts: names resolve as they do in the headers.
namespace QuarnMbn {
#include "mbn-com.inc"
}
namespace QuarnWinRT {
#include "winrt-network-operators.inc"
}

#undef FACT_INTERFACE
#undef FACT_METHOD
#undef FACT_SYSTEM_IID
#undef FACT_CLSID
#undef FACT_ENUM
#undef FACT_STRUCT
#undef FACT_FIELD
#undef FACT_CONSTANT
#undef FACT_RUNTIME_CLASS
#define FACT_INTERFACE(I, Base, Length, ...) {#I, SlotCount<I>(), Length, __uuidof(I), GUID{__VA_ARGS__}},
#define FACT_METHOD(I, Slot, Name, Params) {#I "::" #Name, SlotOf(&I::Name), Slot, {}, {}},
#define FACT_SYSTEM_IID(I, ...) {#I, 0, 0, __uuidof(I), GUID{__VA_ARGS__}},
#define FACT_CLSID(...)
#define FACT_ENUM(...)
#define FACT_STRUCT(...)
#define FACT_FIELD(...)
#define FACT_CONSTANT(...)
#define FACT_RUNTIME_CLASS(...)

namespace QuarnMbn {
const RuntimeFact kFacts[] = {
#include "mbn-com.inc"
};
}
namespace QuarnWinRT {
const RuntimeFact kFacts[] = {
#include "winrt-network-operators.inc"
};
}

#endif  // QUARN_API_FACTS

namespace {

TEST(Declarations, SlotProbeMatchesKnownSlots) {
    EXPECT_EQ(SlotOf(&IUnknown::AddRef), 1);
    EXPECT_EQ(SlotOf(&IUnknown::Release), 2);
    EXPECT_EQ(SlotOf(&IInspectable::GetIids), 3);
    EXPECT_EQ(SlotOf(&IDispatch::Invoke), 6);
    EXPECT_EQ(SlotCount<IUnknown>(), 3);
    EXPECT_EQ(SlotCount<IInspectable>(), 6);
    EXPECT_EQ(SlotCount<IDispatch>(), 7);
}

TEST(Declarations, VtablesAndUuidsMatchFacts) {
#if defined(QUARN_API_FACTS)
    auto expect_facts = [](const auto& facts) {
        for (const RuntimeFact& fact : facts) {
            EXPECT_EQ(fact.declared_slot, fact.facts_slot) << "vtable slot (a method) or length (an interface) of "
                                                           << fact.name;
            EXPECT_TRUE(IsEqualGUID(fact.declared_uuid, fact.facts_uuid)) << "__uuidof(" << fact.name << ")";
        }
    };
    expect_facts(QuarnMbn::kFacts);
    expect_facts(QuarnWinRT::kFacts);
#else
    GTEST_SKIP() << "the API facts were not found when this build was configured (QUARN_WINAPI_FACTS_DIR)";
#endif
}

}  // namespace
