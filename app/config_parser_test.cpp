#include "app/config_parser.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <fstream>
#include <string>

#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;

struct Flags {
    bool trayIcon;
    bool eject;
    bool exit;
    bool modemInfo;
    bool about;
};

Flags ReadFlags(const MenuPresetTable& table) {
    return {table[0].Display, table[1].Display, table[2].Display, table[3].Display, table[4].Display};
}

bool operator==(const Flags& a, const Flags& b) {
    return a.trayIcon == b.trayIcon && a.eject == b.eject && a.exit == b.exit && a.modemInfo == b.modemInfo &&
           a.about == b.about;
}

std::ostream& operator<<(std::ostream& out, const Flags& f) {
    return out << "{TrayIcon " << f.trayIcon << ", EjectSim " << f.eject << ", Exit " << f.exit << ", ModemInfo "
               << f.modemInfo << ", About " << f.about << "}";
}

constexpr Flags kDefaults{false, true, true, false, false};

struct SettingsCase {
    const char* name;
    const char* xml;
    int errorId;
    Flags flags;
    const char* errorLine;  // nullptr: no error line expected
};

constexpr const char* kNoRoot = "[ERROR] ConfigParser::ParserUISettings : Catch runtime_error: No root Element, config file corrupted\n";
constexpr const char* kNoPreset = "[ERROR] ConfigParser::ParserUISettings : Catch runtime_error: Parser presets Node FAILED\n";

const SettingsCase kCases[] = {
    {"EmptyFile", "", tinyxml2::XML_ERROR_EMPTY_DOCUMENT, kDefaults, kNoRoot},
    {"Malformed", "<config><applySetting>1</applySetting>", tinyxml2::XML_ERROR_PARSING, kDefaults, kNoRoot},
    {"NotXml", "\xff\xfe garbage", tinyxml2::XML_ERROR_PARSING_TEXT, kDefaults, kNoRoot},
    {"NoApplySetting", "<c><presets><preset Number=\"1\"><Menu Name=\"About\" Display=\"Show\"/></preset></presets></c>",
     0, kDefaults, kNoPreset},
    {"EmptyApplySetting", "<c><applySetting></applySetting><presets><preset Number=\"\"/></presets></c>", 0,
     kDefaults, kNoPreset},
    {"NoPresets", "<c><applySetting>1</applySetting></c>", 0, kDefaults, kNoPreset},
    {"NoPreset", "<c><applySetting>1</applySetting><presets/></c>", 0, kDefaults, kNoPreset},
    {"NoMatchingNumber",
     "<c><applySetting>3</applySetting><presets><preset Number=\"1\"/><preset Number=\"2\"/></presets></c>", 0,
     kDefaults, kNoPreset},
    {"BlankPaddedNumberMatchesNothing",
     "<c><applySetting> 1 </applySetting><presets><preset Number=\"1\"><Menu Name=\"About\" Display=\"Show\"/>"
     "</preset></presets></c>",
     0, kDefaults, kNoPreset},
    {"PresetWithoutMenuChangesNothing", "<c><applySetting>1</applySetting><presets><preset Number=\"1\"/></presets></c>",
     0, kDefaults, nullptr},
    {"TrayIconShowPersists",
     "<c><applySetting>1</applySetting><presets><preset Number=\"1\"><Menu Name=\"TrayIcon\" Display=\"Show\"/>"
     "</preset></presets></c>",
     0, {true, true, true, false, false}, nullptr},
    {"SelectsOnlyTheNamedPreset",
     "<c><applySetting>2</applySetting><presets>"
     "<preset Number=\"1\"><Menu Name=\"Exit\" Display=\"Hide\"/></preset>"
     "<preset Number=\"2\"><Menu Name=\"About\" Display=\"Show\"/></preset></presets></c>",
     0, {false, true, true, false, true}, nullptr},
    {"FirstOfTwoEqualPresetsWins",
     "<c><applySetting>2</applySetting><presets>"
     "<preset Number=\"2\"><Menu Name=\"EjectSim\" Display=\"Hide\"/></preset>"
     "<preset Number=\"2\"><Menu Name=\"Exit\" Display=\"Hide\"/></preset></presets></c>",
     0, {false, false, true, false, false}, nullptr},
    {"PresetsWithoutNumberArePassedOver",
     "<c><applySetting>1</applySetting><presets><preset><Menu Name=\"Exit\" Display=\"Hide\"/></preset>"
     "<preset Number=\"1\"><Menu Name=\"About\" Display=\"Show\"/></preset></presets></c>",
     0, {false, true, true, false, true}, nullptr},
    {"MenuWithoutNameActsOnThePreviousRow",
     "<c><applySetting>1</applySetting><presets><preset Number=\"1\">"
     "<Menu Name=\"About\" Display=\"Show\"/><Menu Display=\"Hide\"/></preset></presets></c>",
     0, kDefaults, nullptr},
    {"FirstMenuWithoutNameActsOnNoRow",
     "<c><applySetting>1</applySetting><presets><preset Number=\"1\">"
     "<Menu Display=\"Hide\"/><Menu Name=\"Exit\"/></preset></presets></c>",
     0, kDefaults, nullptr},
    {"MenuWithoutDisplayReusesThePreviousValue",
     "<c><applySetting>1</applySetting><presets><preset Number=\"1\">"
     "<Menu Name=\"EjectSim\" Display=\"Hide\"/><Menu Name=\"Exit\"/></preset></presets></c>",
     0, {false, false, false, false, false}, nullptr},
    {"LaterMenuOfTheSameNameWins",
     "<c><applySetting>1</applySetting><presets><preset Number=\"1\">"
     "<Menu Name=\"About\" Display=\"Show\"/><Menu Name=\"About\" Display=\"Hide\"/></preset></presets></c>",
     0, kDefaults, nullptr},
    {"OtherValuesAndUnknownNamesAreSkipped",
     "<c><applySetting>1</applySetting><presets><preset Number=\"1\">"
     "<Menu Name=\"Exit\" Display=\"hide\"/><Menu Name=\"exit\" Display=\"Hide\"/><Menu Name=\"Eject\" Display=\"Hide\"/>"
     "<Menu Name=\"ModemInfo\" Display=\"Show\"/><Menu Name=\"EjectSim\" Display=\"\"/></preset></presets></c>",
     0, {false, true, true, true, false}, nullptr},
    {"EntitiesAreResolved",
     "<c><applySetting>&#49;</applySetting><presets><preset Number=\"1\">"
     "<Menu Name=\"Tray&#73;con\" Display=\"Show\"/></preset></presets></c>",
     0, {true, true, true, false, false}, nullptr},
};

class SettingsFileTest : public ::testing::TestWithParam<SettingsCase> {
protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() / ("quarn_settings_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + GetParam().name);
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }
    fs::path directory_;
};

TEST_P(SettingsFileTest, AppliesThePresetOrKeepsTheDefaults) {
    const SettingsCase& c = GetParam();
    const fs::path file = directory_ / UI_SETTINGS_FILE_NAME;
    std::ofstream(file, std::ios::binary) << c.xml;

    TraceCapture capture;
    MenuPresetTable table;
    SetDefaultMenuPresets(table);
    EXPECT_EQ(ConfigParser::ParserUISettings(file, table), c.errorId);
    EXPECT_EQ(ReadFlags(table), c.flags);

    const auto lines = capture.Texts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[INFO] ConfigParser::ParserUISettings : ConfigParser::ParserUISettings: return "
                            "configXml.ErrorID(): " + std::to_string(c.errorId));
    if (c.errorLine != nullptr) {
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.errorLine);
    } else {
        for (const std::string& line : lines) {
            EXPECT_EQ(line.rfind("[ERROR]", 0), std::string::npos) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsFileTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFile, MissingFileKeepsDefaultsAndReportsFileNotFound) {
    TraceCapture capture;
    MenuPresetTable table;
    SetDefaultMenuPresets(table);
    const fs::path missing = fs::temp_directory_path() / "quarn_no_such_dir" / UI_SETTINGS_FILE_NAME;
    EXPECT_EQ(ConfigParser::ParserUISettings(missing, table), tinyxml2::XML_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadFlags(table), kDefaults);
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{kNoRoot, "[INFO] ConfigParser::ParserUISettings : ConfigParser::ParserUISettings: "
                                                 "return configXml.ErrorID(): 3"}));
}

TEST(SettingsFile, LogsTheSelectedPresetAndEachMenu) {
    const fs::path file = fs::temp_directory_path() / "quarn_settings_log.config";
    std::ofstream(file, std::ios::binary)
        << "<c><applySetting>7</applySetting><presets><preset Number=\"7\">"
           "<Menu Name=\"Nope\" Display=\"Show\"/><Menu Name=\"About\" Display=\"Show\"/></preset></presets></c>";
    TraceCapture capture;
    MenuPresetTable table;
    SetDefaultMenuPresets(table);
    ConfigParser::ParserUISettings(file, table);
    fs::remove(file);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                   "[INFO] ConfigParser::ParserPresetsNode : applySetting: 7",
                                   "[INFO] ConfigParser::ParserPresetsNode : Name: Nope",
                                   "[INFO] ConfigParser::ParserPresetsNode : Name: About",
                                   "[INFO] ConfigParser::ParserPresetsNode : Display: Show",
                                   "[INFO] ConfigParser::ParserUISettings : ConfigParser::ParserUISettings: return "
                                   "configXml.ErrorID(): 0",
                               }));
}

// Install directories named in Japanese or Chinese must keep their settings.
}  // namespace
