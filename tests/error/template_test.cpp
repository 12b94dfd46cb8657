// The administrative template (packaging/) against the table of registry
// settings that the service reads: well-formed, every string and
// presentation it names present in both languages, and every key, value
// name, type and range one of the table's.
#include <windows.h>
#include <msxml2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <set>

#include "base/VqRegistrySettings.h"
#include "base/VqTrace.h"

namespace {

// MSXML 6, which Windows and Wine both have; mingw-w64 names only older ones.
constexpr CLSID kDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr IID kIXmlDomDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

struct Released {
    void operator()(IUnknown* object) const { object->Release(); }
};
using Node = std::shared_ptr<IXMLDOMNode>;

struct Bstr {
    BSTR b;
    explicit Bstr(const std::wstring& text = L"") : b(SysAllocString(text.c_str())) {}
    Bstr(const Bstr&) = delete;
    ~Bstr() { SysFreeString(b); }
};

// The nodes an XPath selects below node (the policy definitions' namespace
// has the prefix p), and the text of the first.
std::vector<Node> All(const Node& node, const std::wstring& xpath) {
    std::vector<Node> nodes;
    IXMLDOMNodeList* list = nullptr;
    if (node->selectNodes(Bstr(xpath).b, &list) != S_OK) return nodes;
    for (IXMLDOMNode* next = nullptr; list->nextNode(&next) == S_OK && next;) nodes.emplace_back(next, Released());
    list->Release();
    return nodes;
}

std::wstring Text(const Node& node, const std::wstring& xpath) {
    const std::vector<Node> found = All(node, xpath);
    Bstr text;
    if (!found.empty()) found[0]->get_text(&text.b);
    return text.b ? text.b : L"";
}

std::optional<Node> Parse(const std::string& utf8) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                                    static_cast<int>(text.size())));
    IXMLDOMDocument2* document = nullptr;
    CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kIXmlDomDocument2, reinterpret_cast<void**>(&document));
    const Node owned(document, Released());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (!document || document->loadXML(Bstr(text).b, &loaded) != S_OK || !loaded) return std::nullopt;
    VARIANT namespaces{};
    namespaces.vt = VT_BSTR;
    namespaces.bstrVal = SysAllocString(L"xmlns:p='http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'");
    document->setProperty(Bstr(L"SelectionNamespaces").b, namespaces);
    VariantClear(&namespaces);
    return owned;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring KeyPath(unsigned key) {
    if (key == VqBase::kInTraceKey) return VqBase::kTraceKey;
    if (key == VqBase::kInProgramKey) return std::wstring(VqBase::kTraceKey) + L"\\" + VqBase::kTraceName;
    return VqBase::kProductKey;
}

// One value a policy writes, checked against the table's entry of its name.
void CheckWrite(const std::wstring& what, const std::wstring& key, const std::wstring& name, DWORD type,
                const std::vector<std::wstring>& numbers, const std::wstring& maxLength,
                std::set<const VqBase::RegistrySetting*>& offered, std::vector<std::string>& errors) {
    const std::string where = Narrow(what + L": " + name);
    const VqBase::RegistrySetting* setting = nullptr;
    for (const VqBase::RegistrySetting* known : VqBase::kRegistrySettings)
        if (name == known->Name) setting = known;
    if (!setting) return errors.push_back(where + ": no value of that name is read");
    offered.insert(setting);
    bool read = false;
    for (unsigned bit : {VqBase::kInTraceKey, VqBase::kInProgramKey, VqBase::kInProductKey})
        read = read || ((setting->Keys & bit) && lstrcmpiW(KeyPath(bit).c_str(), key.c_str()) == 0);
    if (!read) errors.push_back(where + ": not read from " + Narrow(key));
    if (type != setting->Type) errors.push_back(where + ": of another type than the one read");
    for (const std::wstring& number : numbers)
        if (!number.empty() && (std::stoull(number) < setting->Min || std::stoull(number) > setting->Max))
            errors.push_back(where + ": " + Narrow(number) + " is out of the range read");
    if (!maxLength.empty() && std::stoull(maxLength) > setting->Max) errors.push_back(where + ": longer than read");
}

// What is wrong with the template and its texts; nothing when all is well.
std::vector<std::string> CheckTemplate(const std::string& admx, const std::vector<std::string>& admls) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::optional<Node> definitions = Parse(admx);
    if (!definitions) return {"the ADMX is not well-formed XML"};
    std::vector<std::string> errors;
    std::set<const VqBase::RegistrySetting*> offered;
    for (const Node& policy : All(*definitions, L"//p:policy")) {
        const std::wstring name = Text(policy, L"@name"), key = Text(policy, L"@key");
        if (const std::wstring value = Text(policy, L"@valueName"); !value.empty())
            CheckWrite(name, key, value, REG_DWORD, {Text(policy, L"p:enabledValue/p:decimal/@value"),
                                                     Text(policy, L"p:disabledValue/p:decimal/@value")},
                       L"", offered, errors);
        for (const Node& element : All(policy, L"p:elements/*")) {
            std::vector<std::wstring> numbers;
            for (const Node& value : All(element, L"@minValue | @maxValue | p:item/p:value/p:decimal/@value"))
                numbers.push_back(Text(value, L"."));
            const bool text = !All(element, L"self::p:text | p:item/p:value/p:string").empty();
            CheckWrite(name, Text(element, L"@key").empty() ? key : Text(element, L"@key"),
                       Text(element, L"@valueName"), text ? REG_SZ : REG_DWORD, numbers, Text(element, L"@maxLength"),
                       offered, errors);
        }
    }
    for (const VqBase::RegistrySetting* setting : VqBase::kRegistrySettings)
        if (setting->InTemplate && !offered.count(setting)) errors.push_back(Narrow(setting->Name) + ": no policy sets it");

    const std::wregex reference(LR"(\$\((string|presentation)\.([^)]+)\))");
    for (size_t i = 0; i < admls.size(); ++i) {
        const std::optional<Node> texts = Parse(admls[i]);
        if (!texts) errors.push_back("ADML " + std::to_string(i + 1) + " is not well-formed XML");
        for (const Node& attribute : texts ? All(*definitions, L"//@*") : std::vector<Node>()) {
            const std::wstring value = Text(attribute, L".");
            std::wsmatch match;
            if (std::regex_match(value, match, reference) &&
                All(*texts, L"//p:" + match[1].str() + L"[@id='" + match[2].str() + L"']").empty())
                errors.push_back("ADML " + std::to_string(i + 1) + " lacks " + Narrow(value));
        }
    }
    return errors;
}

std::string Packaged(const std::wstring& file) {
    std::ifstream stream(std::filesystem::path(VQ_PACKAGING_DIR) / file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace

TEST(TraceTemplate, WritesExactlyWhatTheServiceReadsWithTextsInBothLanguages) {
    const std::string admx = Packaged(L"ReRiruRuvazor.admx");
    const std::vector<std::string> admls = {Packaged(L"en-US/ReRiruRuvazor.adml"), Packaged(L"ru-RU/ReRiruRuvazor.adml")};
    ASSERT_FALSE(admx.empty());
    EXPECT_THAT(CheckTemplate(admx, admls), testing::IsEmpty());

    // Each fault a copy can have is found, and named.
    const struct {
        std::string Admx, Adml, Found;
    } copies[] = {
        {Replaced(admx, "valueName=\"EnableMask\"", "valueName=\"EnableMsk\""), admls[0], "TraceLevels: EnableMsk"},
        {Replaced(admx, "<text id=\"TracePath\"", "<decimal id=\"TracePath\""), admls[0], "of another type"},
        {Replaced(admx, "maxValue=\"4294967295\"", "maxValue=\"4294967296\""), admls[0], "out of the range"},
        {Replaced(admx, "key=\"SOFTWARE\\Brenmoor\\Orvanta\"", "key=\"SOFTWARE\\Brenmoor\""), admls[0], "not read from"},
        {admx, Replaced(admls[0], "<string id=\"TracePath_Explain\">", "<string id=\"TracePathExplain\">"),
         "lacks $(string.TracePath_Explain)"},
        {admx, Replaced(admls[0], "<presentation id=\"TracePath\">", "<presentation id=\"TracePaths\">"),
         "lacks $(presentation.TracePath)"},
        {admx.substr(0, admx.size() / 2), admls[0], "not well-formed"},
    };
    for (const auto& copy : copies) {
        ASSERT_NE(copy.Admx + copy.Adml, admx + admls[0]) << copy.Found;
        EXPECT_THAT(testing::PrintToString(CheckTemplate(copy.Admx, {copy.Adml})), testing::HasSubstr(copy.Found));
    }
}
