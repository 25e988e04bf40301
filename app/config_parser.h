// Reads the UI settings file and applies its selected preset to the preset table.
#pragma once

#include <filesystem>

#include "app/menu_preset.h"

namespace tinyxml2 {
class XMLElement;
}

constexpr const char* UI_SETTINGS_FILE_NAME = "QuarnVelmora.exe.config";

class ConfigParser {
public:
    // Returns the XML document's error id (0 when loaded and parsed). The path is wide on
    // Windows, so install directories outside the 8-bit range keep their settings.
    static int ParserUISettings(const std::filesystem::path& path, MenuPresetTable& presets);

    // True when a preset was selected, false when the file names no usable preset.
    static bool ParserPresetsNode(const tinyxml2::XMLElement* root, MenuPresetTable& presets);
};
