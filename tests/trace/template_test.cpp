// The administrative template (packaging/) against the table of registry
// settings that the service reads: well-formed, every string and
// presentation it names present in both languages, and every key, value
// name, type and range one of the table's.
#include <windows.h>
#include <msxml2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>

#include "base/VqRegistrySettings.h"
#include "base/VqTrace.h"
#include "trace_test_support.h"

using testing::HasSubstr;

namespace {

// MSXML 6, which Windows and Wine both have; mingw-w64's headers name only
// the older versions.
constexpr CLSID kDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr IID kIXmlDomDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

template <typename T>
struct Com {
    T* p = nullptr;
    Com() = default;
    Com(const Com& other) : p(other.p) { if (p) p->AddRef(); }
    Com& operator=(const Com&) = delete;
    ~Com() { if (p) p->Release(); }
};

struct Bstr {
    BSTR b = nullptr;
    explicit Bstr(const std::wstring& text) : b(SysAllocString(text.c_str())) {}
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(b); }
    std::wstring Text() const { return b ? b : L""; }
};

// A node of a parsed document and the XPath queries the check makes of it
// (the namespace of group policy definitions has the prefix p).
class Node {
public:
    explicit Node(IXMLDOMNode* node) { m_Node.p = node; }
    std::vector<Node> All(const std::wstring& xpath) const {
        std::vector<Node> nodes;
        Com<IXMLDOMNodeList> list;
        if (m_Node.p->selectNodes(Bstr(xpath).b, &list.p) != S_OK) return nodes;
        for (IXMLDOMNode* node = nullptr; list.p->nextNode(&node) == S_OK && node;) nodes.emplace_back(node);
        return nodes;
    }
    std::wstring Text(const std::wstring& xpath) const {
        const std::vector<Node> found = All(xpath);
        Bstr text;
        if (!found.empty()) found[0].m_Node.p->get_text(&text.b);
        return text.Text();
    }
    std::wstring Name() const {
        Bstr name;
        m_Node.p->get_baseName(&name.b);
        return name.Text();
    }

private:
    Com<IXMLDOMNode> m_Node;
};

// Parses text; a document that is not well-formed gives the parser's reason.
std::optional<Node> Parse(const std::string& utf8, std::vector<std::string>& errors, const char* which) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                                    static_cast<int>(text.size())));
    Com<IXMLDOMDocument2> document;
    CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kIXmlDomDocument2,
                     reinterpret_cast<void**>(&document.p));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (!document.p || document.p->loadXML(Bstr(text).b, &loaded) != S_OK || !loaded) {
        errors.push_back(std::string(which) + " is not well-formed XML");
        return std::nullopt;
    }
    VARIANT namespaces{};
    namespaces.vt = VT_BSTR;
    namespaces.bstrVal =
        SysAllocString(L"xmlns:p='http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'");
    document.p->setProperty(Bstr(L"SelectionNamespaces").b, namespaces);
    VariantClear(&namespaces);
    document.p->AddRef();
    return Node(document.p);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One value a policy writes: where, which, of what type, and the numbers or
// the longest string it may write.
struct Write {
    std::wstring Key, Name;
    DWORD Type = REG_NONE;
    std::vector<unsigned long long> Numbers;
    unsigned long long MaxLength = 0;
};

std::vector<Write> WritesOf(const Node& policy) {
    const std::wstring key = policy.Text(L"@key");
    std::vector<Write> writes;
    if (const std::wstring name = policy.Text(L"@valueName"); !name.empty()) {
        Write write;
        write.Key = key;
        write.Name = name;
        for (const Node& value : policy.All(L"p:enabledValue/* | p:disabledValue/*")) {
            write.Type = value.Name() == L"decimal" ? REG_DWORD : REG_SZ;
            if (write.Type == REG_DWORD) write.Numbers.push_back(std::stoull(value.Text(L"@value")));
        }
        writes.push_back(write);
    }
    for (const Node& element : policy.All(L"p:elements/*")) {
        Write write;
        write.Key = element.Text(L"@key").empty() ? key : element.Text(L"@key");
        write.Name = element.Text(L"@valueName");
        const std::wstring kind = element.Name();
        if (kind == L"decimal") {
            write.Type = REG_DWORD;
            const std::wstring min = element.Text(L"@minValue"), max = element.Text(L"@maxValue");
            write.Numbers = {min.empty() ? 0 : std::stoull(min), max.empty() ? 9999 : std::stoull(max)};
        } else if (kind == L"text") {
            write.Type = element.Text(L"@expandable") == L"true" ? REG_EXPAND_SZ : REG_SZ;
            const std::wstring length = element.Text(L"@maxLength");
            write.MaxLength = length.empty() ? 1023 : std::stoull(length);
        } else if (kind == L"enum") {
            for (const Node& value : element.All(L"p:item/p:value/*")) {
                write.Type = value.Name() == L"decimal" ? REG_DWORD : REG_SZ;
                if (write.Type == REG_DWORD) write.Numbers.push_back(std::stoull(value.Text(L"@value")));
            }
        } else {
            write.Type = REG_DWORD;  // boolean: 1 and 0 unless it says otherwise
            write.Numbers = {1, 0};
        }
        writes.push_back(write);
    }
    return writes;
}

std::wstring KeyPath(unsigned key) {
    if (key == VqBase::kInTraceKey) return VqBase::kTraceKey;
    if (key == VqBase::kInProgramKey) return std::wstring(VqBase::kTraceKey) + L"\\" + VqBase::kTraceName;
    return VqBase::kProductKey;
}

// What is wrong with the template and its texts; nothing when all is well.
std::vector<std::string> CheckTemplate(const std::string& admx, const std::vector<std::string>& admls) {
    std::vector<std::string> errors;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::optional<Node> definitions = Parse(admx, errors, "the ADMX");
    if (!definitions) return errors;
    std::set<const VqBase::RegistrySetting*> offered;
    for (const Node& policy : definitions->All(L"//p:policy"))
        for (const Write& write : WritesOf(policy)) {
            const std::string what = Narrow(policy.Text(L"@name") + L": " + write.Name);
            const VqBase::RegistrySetting* setting = nullptr;
            for (const VqBase::RegistrySetting* known : VqBase::kRegistrySettings)
                if (write.Name == known->Name) setting = known;
            if (!setting) {
                errors.push_back(what + ": no value of that name is read");
                continue;
            }
            offered.insert(setting);
            bool keyRead = false;
            for (unsigned key : {VqBase::kInTraceKey, VqBase::kInProgramKey, VqBase::kInProductKey})
                keyRead = keyRead || ((setting->Keys & key) && lstrcmpiW(KeyPath(key).c_str(), write.Key.c_str()) == 0);
            if (!keyRead) errors.push_back(what + ": not read from " + Narrow(write.Key));
            if (write.Type != setting->Type) errors.push_back(what + ": of another type than the one read");
            for (unsigned long long number : write.Numbers)
                if (number < setting->Min || number > setting->Max)
                    errors.push_back(what + ": " + std::to_string(number) + " is out of the range read");
            if (write.MaxLength > setting->Max) errors.push_back(what + ": a string longer than the one read");
        }
    for (const VqBase::RegistrySetting* setting : VqBase::kRegistrySettings)
        if (setting->InTemplate && !offered.count(setting))
            errors.push_back(Narrow(setting->Name) + ": no policy sets it");

    const std::wregex reference(LR"(\$\((string|presentation)\.([^)]+)\))");
    std::set<std::wstring> elements;
    for (const Node& element : definitions->All(L"//p:elements/*")) elements.insert(element.Text(L"@id"));
    for (size_t i = 0; i < admls.size(); ++i) {
        const std::string which = "ADML " + std::to_string(i + 1);
        const std::optional<Node> resources = Parse(admls[i], errors, which.c_str());
        if (!resources) continue;
        for (const Node& attribute : definitions->All(L"//@*")) {
            const std::wstring value = attribute.Text(L".");
            std::wsmatch match;
            if (!std::regex_match(value, match, reference)) continue;
            const std::wstring table = match[1] == L"string" ? L"p:stringTable/p:string" : L"p:presentationTable/p:presentation";
            if (resources->All(L"//" + table + L"[@id='" + match[2].str() + L"']").empty())
                errors.push_back(which + " lacks " + Narrow(value));
        }
        for (const Node& shown : resources->All(L"//p:presentation/*[@refId]"))
            if (!elements.count(shown.Text(L"@refId")))
                errors.push_back(which + ": a presentation shows " + Narrow(shown.Text(L"@refId")) + ", no element");
    }
    return errors;
}

std::string Packaged(const std::wstring& file) { return trace_test::ReadBytes(std::wstring(VQ_PACKAGING_DIR) + L"/" + file); }

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
        {admx.substr(0, admx.size() / 2), admls[0], "not well-formed"},
    };
    for (const auto& copy : copies) {
        ASSERT_NE(copy.Admx + copy.Adml, admx + admls[0]) << copy.Found;
        EXPECT_THAT(testing::PrintToString(CheckTemplate(copy.Admx, {copy.Adml})), HasSubstr(copy.Found));
    }
}
