// Arbitrary bytes as the UI settings file: the reader must neither crash nor touch
// anything but the Display flags of the preset table.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/config_parser.h"
#include "trace/trace.h"

namespace {

void DiscardLine(uint64_t, const TraceEventDescriptor&, const char* line, uint32_t size) {
    // The writer sees every line: it must be terminated within the size it was given.
    if (size == 0 || line[size - 1] != '\0' || size > TRACE_BUFFER_SIZE) {
        __builtin_trap();
    }
}

const std::filesystem::path& SettingsPath() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("quarn_settings_fuzz_" + std::to_string(getpid()) + ".config");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetTraceWriter(DiscardLine);
    TraceEnableCallback(nullptr, TRACE_CONTROL_ENABLE, 0, 0, 0, nullptr, &g_TraceContext);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (std::FILE* file = std::fopen(SettingsPath().c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    MenuPresetTable table;
    SetDefaultMenuPresets(table);
    MenuPresetTable defaults;
    SetDefaultMenuPresets(defaults);
    ConfigParser::ParserUISettings(SettingsPath(), table);
    for (std::size_t row = 0; row < MENU_PRESET_COUNT; ++row) {
        if (table[row].Number != defaults[row].Number || table[row].Name != defaults[row].Name ||
            table[row].MenuId != defaults[row].MenuId) {
            __builtin_trap();
        }
    }
    return 0;
}
