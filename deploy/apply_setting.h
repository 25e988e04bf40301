// The settings preset chosen at install (msiexec ... APPLYSETTING=N): applySetting set in the
// settings file, and nothing else of the file changed, for the stopper's --apply-setting.
#pragma once

#include <string>

enum class ApplySettingResult {
    Applied,
    NotAPreset,  // no "preset" of the file has that "Number": the file is left as it is
    NoSettings,  // the text is no settings file (not well-formed, or no root element)
};

// `settings` with applySetting's text set to `number`, into `edited`. A number is taken when a
// preset of the file carries it as its "Number", character for character, as the program
// selects presets. The rest of the text stays byte for byte; only where the element cannot be
// found in the text as it was written (an empty element, say) is the document written out
// again by the XML library. A file without applySetting gets one, as the root's first child.
ApplySettingResult ApplySetting(const std::string& settings, const std::string& number, std::string& edited);
