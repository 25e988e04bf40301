#include "app/menu_preset.h"

#include <cstring>

void SetDefaultMenuPresets(MenuPresetTable& table) {
    static constexpr MenuPreset kDefaults[MENU_PRESET_COUNT] = {
        {0, "TrayIcon", false, MENU_ID_NONE},
        {1, "EjectSim", true, IDM_EJECT_SIM},
        {4, "Exit", true, IDM_EXIT},
        {2, "ModemInfo", false, IDM_MODEM_INFO},
        {3, "About", false, IDM_ABOUT},
    };
    for (std::size_t i = 0; i < MENU_PRESET_COUNT; ++i) {
        table[i] = kDefaults[i];
    }
}

MenuPreset* FindMenuPreset(MenuPresetTable& table, const char* name) {
    for (MenuPreset& row : table) {
        if (std::strcmp(row.Name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}
