// The UI preset table: whether the tray icon persists and which menu commands show.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/res/resource.h"  // IDM_* command ids, shared with the menu resource

constexpr uint32_t MENU_ID_NONE = 0xFFFFFFFF;

struct MenuPreset {
    uint32_t Number;
    const char* Name;
    bool Display;
    uint32_t MenuId;
};

constexpr std::size_t MENU_PRESET_COUNT = 5;
// Row 0's Display is tray_icon_persist.
constexpr std::size_t TRAY_ICON_PRESET_ROW = 0;

using MenuPresetTable = MenuPreset[MENU_PRESET_COUNT];

// Fills `table` with the defaults: icon follows the SIM, menu offers Eject and Exit.
void SetDefaultMenuPresets(MenuPresetTable& table);

// The row whose Name equals `name` exactly, or nullptr.
MenuPreset* FindMenuPreset(MenuPresetTable& table, const char* name);
