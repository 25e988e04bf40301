// The hidden window, its tray icon, menu, message box and resources, on a real message
// loop under Wine (an X display is needed).
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/quarn_vlmr_app.h"
#include "app/res/resource.h"
#include "app/win/app_window.h"
#include "app/win/single_instance.h"
#include "app/window_messages.h"
#include "tests/support/trace_capture.h"

namespace {

constexpr UINT MN_GETHMENU_MESSAGE = 0x01E1;

bool IsIconShown(HWND window) {
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window;
    return Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

std::wstring MenuItemText(HMENU menu, UINT position) {
    wchar_t text[128] = {};
    GetMenuStringW(menu, position, text, 128, MF_BYPOSITION);
    return text;
}

// What the user saw in the menu that the window opened.
struct MenuCapture {
    bool opened = false;
    bool nullPosted = false;  // a WM_NULL posted to the window after the menu
    std::vector<std::wstring> items;  // texts, "" for a separator
};
MenuCapture g_menu;

void CALLBACK CaptureMenu(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    const HWND menuWindow = FindWindowW(L"#32768", nullptr);
    if (menuWindow == nullptr) {
        return;
    }
    g_menu.opened = true;
    const auto menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU_MESSAGE, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        g_menu.items.push_back(MenuItemText(menu, i));
    }
    EndMenu();
}

bool QuitWasPosted() {
    MSG message;
    return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

class HiddenWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = HiddenWndProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = APP_WINDOW_CLASS;
        ASSERT_NE(RegisterClassW(&windowClass), 0);
    }
    static void TearDownTestSuite() { UnregisterClassW(APP_WINDOW_CLASS, GetModuleHandleW(nullptr)); }

    void SetUp() override {
        app_.m_hInstance = GetModuleHandleW(nullptr);
        SetDefaultMenuPresets(app_.m_Presets);
        g_menu = {};
    }
    void TearDown() override {
        if (window_ != nullptr && IsWindow(window_)) {
            DestroyWindow(window_);
        }
        while (QuitWasPosted()) {
        }
    }

    void CreateHiddenWindow() {
        window_ = CreateWindowExW(0, APP_WINDOW_CLASS, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        app_.m_hWnd = window_;
    }

    // Opens the tray menu as a click would, and records what it showed.
    MenuCapture ClickIcon(LPARAM mouseMessage) {
        g_menu = {};
        SetTimer(nullptr, 0, 200, CaptureMenu);
        SendMessageW(window_, WM_TRAY_NOTIFY, 0, mouseMessage);
        MSG pending;  // a click that opened nothing leaves the timer queued
        while (PeekMessageW(&pending, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
        }
        while (PeekMessageW(&pending, window_, 0, 0, PM_REMOVE)) {
            g_menu.nullPosted = g_menu.nullPosted || pending.message == WM_NULL;
        }
        return g_menu;
    }

    QuarnVlmrApp& app_ = QuarnVlmrApp::GetInstance();
    HWND window_ = nullptr;
    TraceCapture trace_;
};

TEST_F(HiddenWindowTest, CreationShowsThePersistentIconAndDestructionRemovesIt) {
    app_.m_Presets[TRAY_ICON_PRESET_ROW].Display = true;
    CreateHiddenWindow();
    EXPECT_TRUE(trace_.Contains("[INFO] HiddenWndProc : WM_CREATE\n"));
    EXPECT_TRUE(trace_.Contains("[INFO] QuarnVlmrApp::AppWmCreate : tray_icon_persist: 1"));
    EXPECT_TRUE(app_.m_SystemIconShows);
    EXPECT_TRUE(IsIconShown(window_));

    const HWND destroyed = window_;
    DestroyWindow(window_);
    EXPECT_TRUE(trace_.Contains("[INFO] HiddenWndProc : WM_DESTROY\n"));
    EXPECT_FALSE(app_.m_SystemIconShows);
    EXPECT_FALSE(IsIconShown(destroyed));
    EXPECT_TRUE(QuitWasPosted()) << "a window destroyed for any reason ends the message loop";
}

TEST_F(HiddenWindowTest, ShowAndHideMessagesFollowThePersistSetting) {
    CreateHiddenWindow();
    EXPECT_EQ(SendMessageW(window_, WM_SHOW_ICON_CMD, 0, 0), 0);
    EXPECT_TRUE(IsIconShown(window_));
    EXPECT_EQ(SendMessageW(window_, WM_HIDE_ICON_CMD, 0, 0), 0);
    EXPECT_FALSE(IsIconShown(window_));

    app_.m_Presets[TRAY_ICON_PRESET_ROW].Display = true;
    SendMessageW(window_, WM_SHOW_ICON_CMD, 0, 0);
    SendMessageW(window_, WM_HIDE_ICON_CMD, 0, 0);
    EXPECT_TRUE(IsIconShown(window_)) << "a persistent icon refuses to hide";
}

TEST_F(HiddenWindowTest, TheIconComesBackWhenTheShellRestarts) {
    CreateHiddenWindow();
    SendMessageW(window_, WM_SHOW_ICON_CMD, 0, 0);
    ASSERT_TRUE(IsIconShown(window_));

    // A shell that restarts has lost every icon.
    NOTIFYICONDATAW record{};
    record.cbSize = sizeof(record);
    record.hWnd = window_;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &record));
    ASSERT_FALSE(IsIconShown(window_));

    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(HWND_BROADCAST, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    EXPECT_TRUE(IsIconShown(window_));
    EXPECT_TRUE(app_.m_SystemIconShows);

    // Hidden icons stay hidden.
    SendMessageW(window_, WM_HIDE_ICON_CMD, 0, 0);
    SendMessageW(window_, taskbarCreated, 0, 0);
    EXPECT_FALSE(IsIconShown(window_));
}

TEST_F(HiddenWindowTest, ExitCommandsQuitTheLoopOnlyWithTheirMarks) {
    CreateHiddenWindow();
    SendMessageW(window_, WM_EXIT_CMD, 0, 1028);
    EXPECT_FALSE(QuitWasPosted());
    SendMessageW(window_, WM_EXIT_CMD, 0, EXIT_CMD_LPARAM);
    EXPECT_TRUE(QuitWasPosted());
    EXPECT_TRUE(trace_.Contains("[INFO] HiddenWndProc : Receive Exit Command\n"));

    SendMessageW(window_, WM_COMMAND, IDM_ABOUT, 0);
    EXPECT_FALSE(QuitWasPosted()) << "About has no handler";
    EXPECT_EQ(SendMessageW(window_, WM_COMMAND, IDM_EXIT, 0), 0);
    EXPECT_TRUE(QuitWasPosted());
    EXPECT_TRUE(trace_.Contains("[INFO] HiddenWndProc : User click the Exit button\n"));
}

TEST_F(HiddenWindowTest, ReleaseDoubleClickAndRightReleaseOpenTheDefaultMenu) {
    CreateHiddenWindow();
    for (const LPARAM click : {WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONUP}) {
        const MenuCapture menu = ClickIcon(click);
        EXPECT_TRUE(menu.opened) << "mouse message " << click;
        EXPECT_TRUE(menu.nullPosted) << "without it the menu may not open the next time";
        EXPECT_EQ(menu.items, (std::vector<std::wstring>{L"&Eject SIM card", L"", L"Exit"}));
    }
    EXPECT_TRUE(trace_.Contains("[INFO] HiddenWndProc : User click the system icon\n"));
}

TEST_F(HiddenWindowTest, OtherMouseMessagesOpenNothing) {
    CreateHiddenWindow();
    for (const LPARAM other : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MOUSEMOVE, WM_CONTEXTMENU}) {
        EXPECT_FALSE(ClickIcon(other).opened) << "mouse message " << other;
    }
    EXPECT_FALSE(trace_.Contains("[INFO] HiddenWndProc : User click the system icon\n"));
}

// Reads string `id` of the given language straight from the string-table block.
std::wstring LoadStringForLanguage(UINT id, LANGID language) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (resource == nullptr) {
        return L"<missing>";
    }
    auto* entry = static_cast<const WCHAR*>(LockResource(LoadResource(module, resource)));
    for (UINT i = 0; i < id % 16; ++i) {
        entry += 1 + *entry;
    }
    return std::wstring(entry + 1, *entry);
}

std::vector<std::wstring> LoadMenuForLanguage(LANGID language) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource = FindResourceExW(module, RT_MENU, MAKEINTRESOURCEW(IDR_TRAY_MENU), language);
    if (resource == nullptr) {
        return {L"<missing>"};
    }
    const HMENU menu = LoadMenuIndirectW(LockResource(LoadResource(module, resource)));
    std::vector<std::wstring> texts{MenuItemText(menu, 0)};
    const HMENU popup = GetSubMenu(menu, 0);
    for (int i = 0; i < GetMenuItemCount(popup); ++i) {
        texts.push_back(MenuItemText(popup, i) + L"=" + std::to_wstring(GetMenuItemID(popup, i)));
    }
    DestroyMenu(menu);
    return texts;
}

struct LanguageCase {
    LANGID language;
    std::vector<std::wstring> strings;
    std::vector<std::wstring> menu;
};

class ResourceLanguageTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(ResourceLanguageTest, StringsAndMenuInEachLanguage) {
    const LanguageCase& c = GetParam();
    for (UINT id = 1; id <= 3; ++id) {
        EXPECT_EQ(LoadStringForLanguage(id, c.language), c.strings[id - 1]) << "string " << id;
    }
    EXPECT_EQ(LoadMenuForLanguage(c.language), c.menu);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, ResourceLanguageTest,
    ::testing::Values(
        LanguageCase{0x409,
                     {L"Safely Remove SIM card", L"Problem Ejecting SIM card",
                      L"There is a problem with the removal process, please try again."},
                     {L"<obsolete>", L"&Eject SIM card=40001", L"About...=40004", L"Exit=40002"}},
        LanguageCase{0x411,
                     {L"SIMカードを安全に取り外します", L"SIMカードの取り出しに問題があります",
                      L"削除プロセスに問題があります, もう一度やり直してください."},
                     {L"<obsolete>", L"SIMカードの取り外し=40001", L"約=40004", L"終了する=40002"}},
        LanguageCase{0x804,
                     {L"安全移除 SIM 卡", L"弹出 SIM 卡错误", L"移除过程有问题，请重试。"},
                     {L"<obsolete>", L"弹出SIM卡=40001", L"关于=40004", L"退出=40002"}}));

TEST(TrayIcon, TheRecordsForAddingAndRemoving) {
    const HWND window = reinterpret_cast<HWND>(0x1234);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const TrayIconRecord adding(window, instance, true);
    const NOTIFYICONDATAW& add = adding.Data();
    EXPECT_EQ(add.cbSize, 976u) << "the full current structure";
    EXPECT_EQ(add.hWnd, window);
    EXPECT_EQ(add.uID, 0u);
    EXPECT_EQ(add.uFlags, 7u) << "NIF_MESSAGE, NIF_ICON and NIF_TIP";
    EXPECT_EQ(add.uCallbackMessage, 1025u);
    EXPECT_NE(add.hIcon, nullptr);
    EXPECT_STREQ(add.szTip, L"Safely Remove SIM card");
    EXPECT_EQ(add.uVersion, 0u) << "no icon version: the callback carries the mouse message";

    const TrayIconRecord removing(window, instance, false);
    const NOTIFYICONDATAW& remove = removing.Data();
    EXPECT_EQ(remove.cbSize, 976u);
    EXPECT_EQ(remove.hWnd, window);
    EXPECT_EQ(remove.uID, 0u);
    EXPECT_EQ(remove.uFlags, 0u);
    EXPECT_EQ(remove.hIcon, nullptr);
    EXPECT_EQ(remove.szTip[0], L'\0');
}

int IconWidth(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) {
        return 0;
    }
    BITMAP bitmap{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

// The shell shows the image it is given; one scaled from another size is blurred.
TEST(TrayIcon, EveryScaleHasItsOwnImageAndTheTrayGetsTheSmallSize) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const HRSRC group = FindResourceW(instance, MAKEINTRESOURCEW(IDI_TRAY_ICON), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    auto* directory = static_cast<BYTE*>(LockResource(LoadResource(instance, group)));
    for (const int size : {16, 20, 24, 32, 40, 48}) {
        const int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
        const HRSRC image = FindResourceW(instance, MAKEINTRESOURCEW(id), RT_ICON);
        ASSERT_NE(image, nullptr) << size << " px";
        const auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(instance, image)));
        EXPECT_EQ(header->biWidth, size) << "an image of its own for " << size << " px";
    }

    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    ASSERT_NE(window, nullptr);
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    const TrayIconRecord add(window, instance, true);
    EXPECT_EQ(IconWidth(add.Data().hIcon), MulDiv(16, dpi, 96)) << "the small-icon size at " << dpi << " dpi";
    DestroyWindow(window);
}

TEST(Resources, TheVersionLineComesFromTheVersionResource) {
    EXPECT_EQ(ReadExecutableVersion(), std::wstring(L"" QUARN_PROJECT_VERSION)) << "the project's version";
    const std::wstring directory = GetExecutableDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), L'\\');
    EXPECT_NE(GetFileAttributesW((directory + L"window_tests.exe").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Another instance is another process; another thread stands in for it, as a mutex belongs
// to the thread that took it.
bool IsFirstOnAnotherThread(const wchar_t* name, DWORD waitMs) {
    bool first = false;
    std::thread([&] { first = SingleInstance(name, waitMs).IsFirst(); }).join();
    return first;
}

TEST(SingleInstance, OnlyOneHoldsTheSessionsMutexAndALaunchWaitsForOneThatIsEnding) {
    constexpr wchar_t kName[] = L"Local\\QuarnVelmoraInstanceTest";
    {
        const SingleInstance running(kName, 0);
        EXPECT_TRUE(running.IsFirst());
        EXPECT_EQ(running.SetupError(), 0u);
        EXPECT_FALSE(IsFirstOnAnotherThread(kName, 100)) << "a second launch while it runs";
    }
    EXPECT_TRUE(IsFirstOnAnotherThread(kName, 0)) << "a launch after it ended";

    // An instance that lets go while a launch waits: the launch runs.
    auto ending = std::make_unique<SingleInstance>(kName, 0);
    bool first = false;
    std::thread launch([&] { first = SingleInstance(kName, 5000).IsFirst(); });
    Sleep(200);
    ending.reset();
    launch.join();
    EXPECT_TRUE(first);

    // One that ended without letting go (killed): its mutex is abandoned, and taken.
    HANDLE killed = nullptr;
    std::thread([&] { killed = CreateMutexW(nullptr, TRUE, kName); }).join();
    EXPECT_TRUE(IsFirstOnAnotherThread(kName, 1000));
    CloseHandle(killed);

    // One that runs elevated holds a mutex whose access list shuts this user out.
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1,
                                                                     &attributes.lpSecurityDescriptor, nullptr));
    const HANDLE elevated = CreateMutexW(&attributes, FALSE, L"Local\\QuarnVelmoraInstanceDenied");
    LocalFree(attributes.lpSecurityDescriptor);
    ASSERT_NE(elevated, nullptr);
    const SingleInstance shutOut(L"Local\\QuarnVelmoraInstanceDenied", 0);
    EXPECT_EQ(shutOut.SetupError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(shutOut.IsFirst());
    CloseHandle(elevated);
}

TEST(TraceProvider, RegistersOnceAndUnregistersOnce) {
    EXPECT_EQ(RegisterTraceProvider(), 0u);
    const uint64_t handle = g_TraceContext.RegistrationHandle;
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(RegisterTraceProvider(), 0u);
    EXPECT_EQ(g_TraceContext.RegistrationHandle, handle) << "a second registration registers nothing new";
    LOG_INFO("[INFO] Test : written through ETW while registered\n");
    EXPECT_EQ(UnregisterTraceProvider(), 0u);
    EXPECT_EQ(g_TraceContext.RegistrationHandle, 0u);
    EXPECT_EQ(UnregisterTraceProvider(), 0u);
}

}  // namespace
