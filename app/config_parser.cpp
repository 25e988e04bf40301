#include "app/config_parser.h"

#include <tinyxml2.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "trace/trace.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

UniqueFile OpenForReading(const std::filesystem::path& path) {
#ifdef _WIN32
    return UniqueFile(_wfopen(path.c_str(), L"rb"));
#else
    return UniqueFile(std::fopen(path.c_str(), "rb"));
#endif
}

}  // namespace

int ConfigParser::ParserUISettings(const std::filesystem::path& path, MenuPresetTable& presets) {
    tinyxml2::XMLDocument configXml;
    int errorId = tinyxml2::XML_SUCCESS;
    try {
        if (UniqueFile file = OpenForReading(path)) {
            errorId = configXml.LoadFile(file.get());
        } else {
            // What the library reports for a path it cannot open.
            errorId = tinyxml2::XML_ERROR_FILE_NOT_FOUND;
        }
        const tinyxml2::XMLElement* root = configXml.RootElement();
        if (errorId != tinyxml2::XML_SUCCESS || root == nullptr) {
            throw std::runtime_error("No root Element, config file corrupted");
        }
        if (!ParserPresetsNode(root, presets)) {
            throw std::runtime_error("Parser presets Node FAILED");
        }
    } catch (const std::runtime_error& e) {
        LOG_ERROR("[ERROR] ConfigParser::ParserUISettings : Catch runtime_error: %s\n", e.what());
    } catch (const std::exception& e) {
        LOG_ERROR("[ERROR] ConfigParser::ParserUISettings : Catch exception: %s\n", e.what());
    } catch (...) {
        LOG_ERROR("[ERROR] ConfigParser::ParserUISettings : Catch unknown exception\n");
    }
    LOG_INFO("[INFO] ConfigParser::ParserUISettings : %s: return configXml.ErrorID(): %d",
             "ConfigParser::ParserUISettings", errorId);
    return errorId;
}

bool ConfigParser::ParserPresetsNode(const tinyxml2::XMLElement* root, MenuPresetTable& presets) {
    const tinyxml2::XMLElement* applySetting = root->FirstChildElement("applySetting");
    if (applySetting == nullptr || applySetting->GetText() == nullptr || *applySetting->GetText() == '\0') {
        return false;
    }
    const std::string selected = applySetting->GetText();
    LOG_INFO("[INFO] ConfigParser::ParserPresetsNode : applySetting: %s", selected.c_str());

    const tinyxml2::XMLElement* presetsNode = root->FirstChildElement("presets");
    if (presetsNode == nullptr) {
        return false;
    }
    const tinyxml2::XMLElement* preset = presetsNode->FirstChildElement("preset");
    for (; preset != nullptr; preset = preset->NextSiblingElement("preset")) {
        const char* number = nullptr;
        if (preset->QueryStringAttribute("Number", &number) == tinyxml2::XML_SUCCESS && selected == number) {
            break;
        }
    }
    if (preset == nullptr) {
        return false;
    }

    // A Menu without Name or Display inherits them from the Menu before it.
    std::string currentName;
    std::string currentDisplay;
    for (const tinyxml2::XMLElement* menu = preset->FirstChildElement("Menu"); menu != nullptr;
         menu = menu->NextSiblingElement("Menu")) {
        const char* name = nullptr;
        if (menu->QueryStringAttribute("Name", &name) == tinyxml2::XML_SUCCESS) {
            currentName = name;
        }
        LOG_INFO("[INFO] ConfigParser::ParserPresetsNode : Name: %s", currentName.c_str());
        MenuPreset* row = FindMenuPreset(presets, currentName.c_str());
        if (row == nullptr) {
            continue;
        }
        const char* display = nullptr;
        if (menu->QueryStringAttribute("Display", &display) == tinyxml2::XML_SUCCESS) {
            currentDisplay = display;
        }
        LOG_INFO("[INFO] ConfigParser::ParserPresetsNode : Display: %s", currentDisplay.c_str());
        if (currentDisplay == "Hide") {
            row->Display = false;
        } else if (currentDisplay == "Show") {
            row->Display = true;
        }
    }
    return true;
}
