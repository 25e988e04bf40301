#include "app/quarn_vlmr_app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/config_parser.h"
#include "tests/support/temp_directory.h"
#include "tests/support/trace_capture.h"

namespace {

WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x1234);

// Records every shell call and holds the icon as a shell does, refusing an add for an icon it
// holds; refuses the first `refusals` additions outright, and answers the first `lateAdds`
// that it carries out (and the first `lateModifies` checks of a held icon) with a refusal, as
// a busy shell whose answer came after the time-out. `duringAdd`, `duringModify` and
// `duringDelete` run once inside the next such call, as a message that the window thread
// handles while the shell has not answered yet.
class FakeShell : public ShellPort {
public:
    bool AddTrayIcon(WindowHandle window) override {
        calls.push_back("add");
        EXPECT_EQ(window, kWindow);
        RunNested(duringAdd);
        calls.push_back("add returns");
        if (refusals > 0) {
            --refusals;
            return false;
        }
        if (iconHeld) {
            return false;
        }
        iconHeld = true;
        ++addsCarriedOut;
        if (lateAdds > 0) {
            --lateAdds;
            return false;
        }
        return true;
    }
    bool DeleteTrayIcon(WindowHandle window) override {
        calls.push_back("delete");
        EXPECT_EQ(window, kWindow);
        RunNested(duringDelete);
        return std::exchange(iconHeld, false);
    }
    bool HoldsTrayIcon(WindowHandle window) override {
        calls.push_back("modify");
        EXPECT_EQ(window, kWindow);
        RunNested(duringModify);
        if (iconHeld && lateModifies > 0) {
            --lateModifies;
            return false;
        }
        return iconHeld;
    }
    static void RunNested(std::function<void()>& nested) {
        if (nested) {
            std::function<void()> once;
            std::swap(once, nested);
            once();
        }
    }
    uint32_t LastErrorCode() override { return 0x5B4; }
    void SleepMs(uint32_t milliseconds) override { calls.push_back("sleep " + std::to_string(milliseconds)); }
    void StartTrayIconRetryTimer(WindowHandle) override {
        calls.push_back("timer on");
        timerRunning = true;
    }
    void StopTrayIconRetryTimer(WindowHandle) override {
        calls.push_back("timer off");
        timerRunning = false;
    }
    std::filesystem::path GetExecutableDirectory() override { return directory; }
    void ShowEjectFailureMessage() override { calls.push_back("eject failure box"); }

    int refusals = 0;
    int lateAdds = 0;
    int lateModifies = 0;
    int addsCarriedOut = 0;
    bool iconHeld = false;
    std::function<void()> duringAdd;
    std::function<void()> duringModify;
    std::function<void()> duringDelete;
    bool timerRunning = false;
    std::filesystem::path directory;
    std::vector<std::string> calls;
};

class FakeSimStatus : public SimStatusPort {
public:
    uint32_t UpdateSystemTrayIconStatus() override {
        ++decisions;
        if (throwOnDecision) {
            throw std::runtime_error("modem went away");
        }
        return status;
    }
    void TriggerUpdateSystemTrayIconStatus() override { ++triggers; }
    uint32_t status = 0;
    bool throwOnDecision = false;
    int decisions = 0;
    int triggers = 0;
};

class FakeSimEject : public SimEjectPort {
public:
    uint32_t GetCurrentModulePlatform() override { return platform; }
    int32_t SendRemoveSimCard(uint32_t p) override {
        sentFor.push_back(p);
        if (throwInstead) {
            throw 42;
        }
        return result;
    }
    uint32_t platform = 0;
    int32_t result = 0;
    bool throwInstead = false;
    std::vector<uint32_t> sentFor;
};

class AppTest : public ::testing::Test {
protected:
    FakeShell shell;
    FakeSimStatus simStatus;
    FakeSimEject simEject;
    QuarnVlmrApp app{shell, simStatus, simEject};
    TraceCapture trace;

    int Count(const std::string& call) const { return static_cast<int>(std::count(shell.calls.begin(), shell.calls.end(), call)); }
    int CountShownLines() const {
        const std::vector<std::string> texts = trace.Texts();
        return static_cast<int>(
            std::count(texts.begin(), texts.end(), "[INFO] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon OK\n"));
    }
    // The shell calls without the marks of an add's return.
    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        std::copy_if(shell.calls.begin(), shell.calls.end(), std::back_inserter(calls),
                     [](const std::string& call) { return call != "add returns"; });
        return calls;
    }
};

TEST_F(AppTest, ShowRemovesFirstThenAddsOnce) {
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete", "sleep 100", "add"}));
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_TRUE(trace.Contains("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon OK\n"));

    shell.calls.clear();
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow));
    EXPECT_TRUE(shell.calls.empty()) << "a shown icon is neither removed nor added again";
    EXPECT_TRUE(trace.Contains("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : QueryIsSystemIconShows is already exists, "
                               "no need to show again.\n"));
}

TEST_F(AppTest, ShowRetriesEverySecondUntilTheShellTakesTheIcon) {
    shell.refusals = 3;
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete", "sleep 100", "add", "modify", "sleep 1000", "add", "modify",
                                                     "sleep 1000", "add", "modify", "sleep 1000", "add"}));
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_FALSE(shell.timerRunning);
    EXPECT_TRUE(trace.Contains("[ERROR] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon exception, 0x5b4, retry (1/10) in 1s.\n"));
    EXPECT_TRUE(trace.Contains("[ERROR] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon exception, 0x5b4, retry (3/10) in 1s.\n"));
}

TEST_F(AppTest, AfterTenRefusalsTheMessageLoopKeepsRetrying) {
    shell.refusals = 12;
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow)) << "a late shell must not fail the window's creation";
    EXPECT_EQ(Count("add"), 10);
    EXPECT_EQ(Count("sleep 1000"), 9) << "the window thread is given back after the tenth refusal";
    EXPECT_TRUE(shell.timerRunning);
    EXPECT_FALSE(app.m_SystemIconShows);
    EXPECT_TRUE(app.IsTrayIconPending());

    // Another show request while waiting does not block the window thread again.
    shell.calls.clear();
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow));
    EXPECT_TRUE(shell.calls.empty());

    app.RetryPendingTrayIcon(kWindow);  // refused (11th)
    app.RetryPendingTrayIcon(kWindow);  // refused (12th)
    EXPECT_TRUE(shell.timerRunning);
    app.RetryPendingTrayIcon(kWindow);  // taken
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_FALSE(app.IsTrayIconPending());
    EXPECT_FALSE(shell.timerRunning);
    EXPECT_EQ(Count("add"), 3);
}

// Without asking, every later add is refused because the icon exists: retries for ever,
// and the icon shown while its state says it is not.
TEST_F(AppTest, AnAddAnsweredLateButDoneCountsAsShown) {
    shell.lateAdds = 1;
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow));
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_FALSE(shell.timerRunning);
    EXPECT_EQ(Count("add"), 1);
    EXPECT_TRUE(trace.Contains("[INFO] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon OK\n"));
    EXPECT_FALSE(trace.Contains("[ERROR] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon exception, 0x5b4, retry (1/10) in 1s.\n"));

    // The same when the add that is answered late is one of the timer's.
    app.HideSystemTrayIcon(kWindow);
    shell.refusals = TRAY_ICON_ADD_ATTEMPTS;
    shell.lateAdds = 1;
    app.ShowSystemTrayIcon(kWindow);
    ASSERT_TRUE(app.IsTrayIconPending());
    app.RetryPendingTrayIcon(kWindow);
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_FALSE(app.IsTrayIconPending());
    EXPECT_FALSE(shell.timerRunning);
    EXPECT_TRUE(shell.iconHeld);
}

// An add that the shell answered with a refusal after its time-out but carried out is logged
// like any other, also when a request came while the add or its check waited for the shell,
// or when the check timed out too: the delete that follows finds the icon.
TEST_F(AppTest, EveryAddTheShellCarriedOutIsLoggedOnce) {
    enum class Nested { None, HideDuringAdd, HideDuringCheck, ShellRestartDuringAdd };
    const struct {
        const char* name;
        int lateModifies;
        Nested nested;
        bool shown;
    } cases[] = {
        {"a hide during the add", 0, Nested::HideDuringAdd, false},
        {"a hide during a check that timed out", 1, Nested::HideDuringCheck, false},
        {"a check that timed out, then the retry", 1, Nested::None, true},
        {"a shell restart during the add", 0, Nested::ShellRestartDuringAdd, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeShell lateShell;
        QuarnVlmrApp lateApp{lateShell, simStatus, simEject};
        TraceCapture lines;
        lateShell.lateAdds = 1;
        lateShell.lateModifies = c.lateModifies;
        const auto hide = [&] { lateApp.HideSystemTrayIcon(kWindow); };
        if (c.nested == Nested::HideDuringAdd) {
            lateShell.duringAdd = hide;
        } else if (c.nested == Nested::HideDuringCheck) {
            lateShell.duringModify = hide;
        } else if (c.nested == Nested::ShellRestartDuringAdd) {
            lateShell.duringAdd = [&] { lateApp.AppWmTaskbarCreated(kWindow); };
        }
        lateApp.ShowSystemTrayIcon(kWindow);
        const std::vector<std::string> texts = lines.Texts();
        EXPECT_EQ(std::count(texts.begin(), texts.end(),
                             "[INFO] QuarnVlmrApp::ShowSystemTrayIcon : ShowSystemTrayIcon OK\n"),
                  lateShell.addsCarriedOut);
        EXPECT_EQ(lateApp.m_SystemIconShows, c.shown);
        EXPECT_EQ(lateShell.iconHeld, c.shown);
        EXPECT_FALSE(lateShell.timerRunning);
    }
}

TEST_F(AppTest, HidingWhileTheIconIsPendingStopsTheRetries) {
    shell.refusals = 100;
    app.ShowSystemTrayIcon(kWindow);
    ASSERT_TRUE(shell.timerRunning);
    app.HideSystemTrayIcon(kWindow);
    EXPECT_FALSE(shell.timerRunning);
    EXPECT_FALSE(app.IsTrayIconPending());
    shell.calls.clear();
    app.RetryPendingTrayIcon(kWindow);  // a tick already queued
    EXPECT_EQ(Calls(), (std::vector<std::string>{"timer off"}));
}

TEST_F(AppTest, ANewShellGetsTheIconBackOnlyWhenItWasWanted) {
    app.AppWmTaskbarCreated(kWindow);
    EXPECT_TRUE(shell.calls.empty()) << "no icon was shown, none is added";

    app.ShowSystemTrayIcon(kWindow);
    shell.calls.clear();
    app.AppWmTaskbarCreated(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete", "add"})) << "a shell that kept the icon refuses an add";
    EXPECT_TRUE(app.m_SystemIconShows);

    // A shell that is not ready yet: retried from the timer.
    shell.refusals = 1;
    shell.calls.clear();
    app.AppWmTaskbarCreated(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete", "add", "modify", "timer on"}));
    EXPECT_FALSE(app.m_SystemIconShows);
    app.RetryPendingTrayIcon(kWindow);
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_FALSE(shell.timerRunning);
}

TEST_F(AppTest, HideRemovesUnlessTheIconPersists) {
    app.ShowSystemTrayIcon(kWindow);
    shell.calls.clear();
    app.HideSystemTrayIcon(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete"}));
    EXPECT_FALSE(app.m_SystemIconShows);
    EXPECT_TRUE(trace.Contains("[INFO] QuarnVlmrApp::HideSystemTrayIcon : HideSystemTrayIcon"));

    // Hiding a hidden icon still asks the shell (harmless).
    shell.calls.clear();
    app.HideSystemTrayIcon(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete"}));

    app.m_Presets[TRAY_ICON_PRESET_ROW].Display = true;
    app.ShowSystemTrayIcon(kWindow);
    shell.calls.clear();
    app.HideSystemTrayIcon(kWindow);
    EXPECT_TRUE(shell.calls.empty());
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_TRUE(trace.Contains("[INFO] QuarnVlmrApp::HideSystemTrayIcon : QuarnVlmrApp::HideSystemTrayIcon: system "
                               "tray icon persist param is true, not to hide."));
    // Removal (the window's destruction) ignores the persist setting.
    app.RemoveSystemTrayIcon(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete"}));
    EXPECT_FALSE(app.m_SystemIconShows);
}

// The worker's show or hide message handled while a shell call waits for the shell.
TEST_F(AppTest, AHideDuringTheAddWinsOverTheAddThatCompletesAfterIt) {
    shell.duringAdd = [this] { app.HideSystemTrayIcon(kWindow); };
    EXPECT_TRUE(app.ShowSystemTrayIcon(kWindow));
    EXPECT_EQ(shell.calls, (std::vector<std::string>{"delete", "sleep 100", "add", "add returns", "delete"}));
    EXPECT_FALSE(app.m_SystemIconShows) << "the add completed after the hide, so it is undone";
    EXPECT_EQ(CountShownLines(), 1) << "every add the shell took is logged, this one too";
}

TEST_F(AppTest, AShowDuringAHideIsAddedWhenTheHideReturns) {
    app.ShowSystemTrayIcon(kWindow);
    shell.calls.clear();
    shell.duringDelete = [this] { app.ShowSystemTrayIcon(kWindow); };
    app.HideSystemTrayIcon(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete", "delete", "sleep 100", "add"}));
    EXPECT_TRUE(app.m_SystemIconShows);
}

TEST_F(AppTest, RepeatedAndNestedShowsAddOnce) {
    shell.duringAdd = [this] {
        app.ShowSystemTrayIcon(kWindow);
        app.ShowSystemTrayIcon(kWindow);
    };
    app.ShowSystemTrayIcon(kWindow);
    EXPECT_EQ(Count("add"), 1);
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_EQ(CountShownLines(), 1);
}

// A show that the worker sent as the message loop ended is handled inside WM_DESTROY's
// delete; the window is going, so no icon may come back for it. A new window takes requests
// again.
TEST_F(AppTest, AShowDuringTheDestructionsDeleteLeavesNoIcon) {
    app.ShowSystemTrayIcon(kWindow);
    shell.calls.clear();
    shell.duringDelete = [this] { app.ShowSystemTrayIcon(kWindow); };
    app.AppWmDestroy(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete"}));
    EXPECT_FALSE(shell.iconHeld);
    EXPECT_FALSE(shell.timerRunning);
    app.ShowSystemTrayIcon(kWindow);
    app.RetryPendingTrayIcon(kWindow);
    app.AppWmTaskbarCreated(kWindow);
    EXPECT_FALSE(shell.iconHeld);

    simStatus.status = 1;
    app.AppWmCreate(kWindow);
    EXPECT_TRUE(shell.iconHeld);
}

TEST_F(AppTest, AHideDuringARetryFromTheTimerEndsTheRetries) {
    shell.refusals = 10;
    app.ShowSystemTrayIcon(kWindow);
    ASSERT_TRUE(app.IsTrayIconPending());
    shell.calls.clear();
    shell.duringAdd = [this] { app.HideSystemTrayIcon(kWindow); };
    app.RetryPendingTrayIcon(kWindow);  // the shell takes it, but only after the hide
    EXPECT_EQ(shell.calls, (std::vector<std::string>{"add", "timer off", "add returns", "delete"}));
    EXPECT_EQ(CountShownLines(), 1);
    EXPECT_FALSE(app.m_SystemIconShows);
    EXPECT_FALSE(app.IsTrayIconPending());
    EXPECT_FALSE(shell.timerRunning);
}

TEST_F(AppTest, AShellRestartDuringAnAddIsFollowedByAnotherAdd) {
    shell.duringAdd = [this] { app.AppWmTaskbarCreated(kWindow); };
    app.ShowSystemTrayIcon(kWindow);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"delete", "sleep 100", "add", "delete", "add"}));
    EXPECT_TRUE(app.m_SystemIconShows);
    EXPECT_EQ(CountShownLines(), 2);
}

struct CreateCase {
    uint32_t status;
    bool persist;
    bool iconShown;
};

class AppWmCreateTest : public AppTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(AppWmCreateTest, DecidesOnceShowsWhenWantedAndWakesTheWorker) {
    simStatus.status = GetParam().status;
    app.m_Presets[TRAY_ICON_PRESET_ROW].Display = GetParam().persist;
    EXPECT_EQ(app.AppWmCreate(kWindow), 0);
    EXPECT_EQ(simStatus.decisions, 1);
    EXPECT_EQ(simStatus.triggers, 1);
    EXPECT_EQ(app.m_SystemIconShows, GetParam().iconShown);
    const std::string persistLine =
        std::string("[INFO] QuarnVlmrApp::AppWmCreate : tray_icon_persist: ") + (GetParam().persist ? "1" : "0");
    EXPECT_EQ(trace.Contains(persistLine), GetParam().iconShown);
}

INSTANTIATE_TEST_SUITE_P(StatusAndPersist, AppWmCreateTest,
                         ::testing::Values(CreateCase{0, false, false}, CreateCase{1, false, true},
                                           CreateCase{0, true, true}, CreateCase{1, true, true}));

TEST_F(AppTest, AppWmCreateSurvivesAFailedDecisionWithoutWakingTheWorker) {
    simStatus.throwOnDecision = true;
    EXPECT_EQ(app.AppWmCreate(kWindow), 0);
    EXPECT_EQ(simStatus.triggers, 0);
    EXPECT_TRUE(trace.Contains("[ERROR] QuarnVlmrApp::AppWmCreate : Catched exception: modem went away\n"));
}

TEST_F(AppTest, EjectSendsForThePlatformAndReportsTheOutcome) {
    EXPECT_EQ(app.AppWmCommandEjectSim(), 1) << "no supported modem";
    EXPECT_TRUE(trace.Contains("[ERROR] QuarnVlmrApp::AppWmCommandEjectSim : Catch runtime_error: platform is invalid\n"));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"eject failure box"}));
    shell.calls.clear();

    simEject.platform = 2;
    EXPECT_EQ(app.AppWmCommandEjectSim(), 0);
    EXPECT_EQ(simEject.sentFor, std::vector<uint32_t>{2});
    EXPECT_TRUE(shell.calls.empty()) << "success neither shows a box nor touches the icon";
    EXPECT_TRUE(trace.Contains("[INFO] QuarnVlmrApp::AppWmCommandEjectSim : Remove SIM card OK.\n"));

    simEject.result = static_cast<int32_t>(0x80004005u);
    EXPECT_EQ(app.AppWmCommandEjectSim(), 1);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"eject failure box"}));

    simEject.throwInstead = true;
    shell.calls.clear();
    EXPECT_EQ(app.AppWmCommandEjectSim(), 1);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"eject failure box"}));
    EXPECT_TRUE(trace.Contains("[ERROR] QuarnVlmrApp::AppWmCommandEjectSim : Catch unknown exception\n"));
}

// A menu holding commands (ids) and separators (0), as the popup port sees it.
class FakePopup : public PopupMenuPort {
public:
    explicit FakePopup(std::vector<uint32_t> items) : items(std::move(items)) {}
    void RemoveCommand(uint32_t id) override {
        items.erase(std::remove(items.begin(), items.end(), id), items.end());
    }
    int ItemCount() override { return static_cast<int>(items.size()); }
    void InsertSeparator(int position) override { items.insert(items.begin() + position, 0); }
    std::vector<uint32_t> items;
};

struct SeparatorCase {
    const char* name;
    bool eject, exit, about;
    std::vector<uint32_t> expected;
};

class SeparatorRuleTest : public AppTest, public ::testing::WithParamInterface<SeparatorCase> {};

TEST_P(SeparatorRuleTest, OneSeparatorBetweenNeighboursNoneAtTheEnds) {
    const SeparatorCase& c = GetParam();
    app.m_Presets[1].Display = c.eject;
    app.m_Presets[2].Display = c.exit;
    app.m_Presets[4].Display = c.about;
    FakePopup popup({IDM_EJECT_SIM, IDM_ABOUT, IDM_EXIT});
    app.CustomizeRightClickMenu(popup);
    EXPECT_EQ(popup.items, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RemainingCommands, SeparatorRuleTest,
    ::testing::Values(SeparatorCase{"None", false, false, false, {}},
                      SeparatorCase{"One", false, true, false, {IDM_EXIT}},
                      SeparatorCase{"TwoByDefault", true, true, false, {IDM_EJECT_SIM, 0, IDM_EXIT}},
                      SeparatorCase{"Three", true, true, true, {IDM_EJECT_SIM, 0, IDM_ABOUT, 0, IDM_EXIT}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AppTest, FourRemainingCommandsGetThreeSeparators) {
    app.m_Presets[3].Display = true;
    app.m_Presets[4].Display = true;
    FakePopup popup({IDM_EJECT_SIM, IDM_ABOUT, IDM_EXIT, IDM_MODEM_INFO});
    app.CustomizeRightClickMenu(popup);
    EXPECT_EQ(popup.items, (std::vector<uint32_t>{IDM_EJECT_SIM, 0, IDM_ABOUT, 0, IDM_EXIT, 0, IDM_MODEM_INFO}));
    EXPECT_EQ(trace.Texts(), (std::vector<std::string>{
                                 "[INFO] QuarnVlmrApp::CustomizeRightClickMenu : separator_position: 1",
                                 "[INFO] QuarnVlmrApp::CustomizeRightClickMenu : separator_position: 3",
                                 "[INFO] QuarnVlmrApp::CustomizeRightClickMenu : separator_position: 5",
                             }));
}

// The settings file beside the executable is found, read and its path logged whatever the
// directory is called. A surrogate without its pair, which a Windows name may hold, is logged
// as U+FFFD: a conversion that throws (path::u8string) would end start-up instead. Wine
// creates no such directory, so that case checks the log line of a path that is not there.
TEST_F(AppTest, InitUISettingReadsTheFileBesideTheExecutableWhateverTheDirectoryIsCalled) {
    struct DirectoryCase {
        std::filesystem::path name;
        std::string logged;
        bool exists;
    };
    std::vector<DirectoryCase> cases = {{"settings", "settings", true},
                                        {std::filesystem::u8path(u8"クアン设置"), u8"クアン设置", true}};
    if constexpr (std::is_same_v<std::filesystem::path::value_type, wchar_t>) {
        cases.push_back({std::wstring(L"q") + wchar_t(0xD800) + L"x", "q\xEF\xBF\xBDx", false});
    }
    for (const DirectoryCase& c : cases) {
        SCOPED_TRACE(c.logged);
        const TempDirectory root("root");
        const std::filesystem::path directory = root.Path() / c.name;
        if (c.exists) {
            std::filesystem::create_directory(directory);
            std::ofstream(directory / UI_SETTINGS_FILE_NAME, std::ios::binary)
                << "<c><applySetting>1</applySetting><presets><preset Number=\"1\"><Menu Name=\"About\" "
                   "Display=\"Show\"/></preset></presets></c>";
        }
        shell.directory = directory;
        shell.directory += std::filesystem::path::preferred_separator;
        SetDefaultMenuPresets(app.m_Presets);
        TraceCapture capture;
        app.InitUISetting();
        EXPECT_EQ(app.m_Presets[4].Display, c.exists) << "the file was read";
        const std::string prefix = "[INFO] QuarnVlmrApp::InitUISetting : QuarnVlmrApp::InitUISetting: config file path: ";
        const std::string suffix = c.logged + std::string(1, static_cast<char>(std::filesystem::path::preferred_separator)) +
                                   UI_SETTINGS_FILE_NAME;
        bool found = false;
        for (const std::string& line : capture.Texts()) {
            found = found || (line.rfind(prefix, 0) == 0 && line.size() >= suffix.size() &&
                              line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0);
        }
        EXPECT_TRUE(found) << ::testing::PrintToString(capture.Texts());
    }
}

}  // namespace
