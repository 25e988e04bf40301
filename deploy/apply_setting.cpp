#include "deploy/apply_setting.h"

#include <tinyxml2.h>

namespace {

constexpr char kElement[] = "applySetting";

bool KnowsPreset(const tinyxml2::XMLElement& root, const std::string& number) {
    const tinyxml2::XMLElement* presets = root.FirstChildElement("presets");
    for (const tinyxml2::XMLElement* preset = presets == nullptr ? nullptr : presets->FirstChildElement("preset");
         preset != nullptr; preset = preset->NextSiblingElement("preset")) {
        const char* value = preset->Attribute("Number");
        if (value != nullptr && number == value) {
            return true;
        }
    }
    return false;
}

// True when the text reads, as the program reads it (tinyxml2's defaults), as settings whose
// applySetting is `number`.
bool ReadsAs(const std::string& text, const std::string& number) {
    tinyxml2::XMLDocument document;
    if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS || document.RootElement() == nullptr) {
        return false;
    }
    const tinyxml2::XMLElement* element = document.RootElement()->FirstChildElement(kElement);
    return element != nullptr && element->GetText() != nullptr && number == element->GetText();
}

// The text between the element's tags replaced where the parser found the element (from the
// start of its line); empty when the text there is not "<applySetting ...>...</applySetting".
std::string Spliced(const std::string& text, int line, const std::string& number) {
    std::size_t at = 0;
    for (int current = 1; current < line && at != std::string::npos; ++current) {
        at = text.find('\n', at);
        at = at == std::string::npos ? at : at + 1;
    }
    const std::string open = std::string("<") + kElement;
    at = at == std::string::npos ? at : text.find(open, at);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t opened = text.find('>', at);
    if (opened == std::string::npos || text[opened - 1] == '/') {
        return {};
    }
    const std::size_t closed = text.find(std::string("</") + kElement, opened);
    if (closed == std::string::npos) {
        return {};
    }
    return text.substr(0, opened + 1) + number + text.substr(closed);
}

}  // namespace

ApplySettingResult ApplySetting(const std::string& settings, const std::string& number, std::string& edited) {
    tinyxml2::XMLDocument document;
    if (document.Parse(settings.data(), settings.size()) != tinyxml2::XML_SUCCESS || document.RootElement() == nullptr) {
        return ApplySettingResult::NoSettings;
    }
    tinyxml2::XMLElement& root = *document.RootElement();
    if (number.empty() || !KnowsPreset(root, number)) {
        return ApplySettingResult::NotAPreset;
    }
    tinyxml2::XMLElement* element = root.FirstChildElement(kElement);
    if (element != nullptr) {
        // Read back as the program would: a splice that went wrong is not written.
        edited = Spliced(settings, element->GetLineNum(), number);
        if (ReadsAs(edited, number)) {
            return ApplySettingResult::Applied;
        }
    } else {
        element = document.NewElement(kElement);
        root.InsertFirstChild(element);
    }
    element->SetText(number.c_str());
    tinyxml2::XMLPrinter printer;
    document.Print(&printer);
    edited.assign(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
    return ApplySettingResult::Applied;
}
