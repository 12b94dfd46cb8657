// Log directories: which directories are created, and the descriptor they
// are created with.
#include <gtest/gtest.h>

#include "base/VqLogDirectory.h"
#include "base/VqLogSecurity.h"
#include "trace_test_support.h"

// After windows.h, which it needs.
#include <sddl.h>

using namespace VqBase;
using namespace trace_test;

namespace {
std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

class Descriptor {
public:
    explicit Descriptor(PSECURITY_DESCRIPTOR sd) : m_Sd(sd) {}
    ~Descriptor() {
        if (m_Sd) ::HeapFree(::GetProcessHeap(), 0, m_Sd);
    }
    PSECURITY_DESCRIPTOR Get() const { return m_Sd; }

private:
    PSECURITY_DESCRIPTOR m_Sd;
};
}  // namespace

TEST(TraceDirectorySecurity, DescriptorInMemory) {
    Descriptor sd(BuildDirectorySecurity());
    ASSERT_NE(sd.Get(), nullptr);
    ASSERT_TRUE(::IsValidSecurityDescriptor(sd.Get()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(sd.Get(), &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    // Nothing of the parent is merged in when Windows stores it.
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_FALSE(control & SE_SACL_PRESENT);

    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd.Get(), &owner, &defaulted));
    EXPECT_EQ(owner, nullptr);
    ASSERT_TRUE(::GetSecurityDescriptorGroup(sd.Get(), &group, &defaulted));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(SidText(group), L"S-1-5-32-544");
    EXPECT_FALSE(defaulted);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.Get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    const struct {
        const wchar_t* Sid;
        BYTE Flags;
        ACCESS_MASK Mask;
    } expected[] = {
        {L"S-1-5-18", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL},
        {L"S-1-5-32-544", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL},
        {L"S-1-3-0", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_ALL},
        {L"S-1-1-0", 0, kLogDirectoryEveryoneRights},
        {L"S-1-15-2-1", 0, kLogDirectoryEveryoneRights},
    };
    ASSERT_EQ(dacl->AceCount, 5);
    for (DWORD i = 0; i < 5; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(allowed->Header.AceFlags, expected[i].Flags) << i;
        EXPECT_EQ(allowed->Mask, expected[i].Mask) << i;
        EXPECT_EQ(SidText(&allowed->SidStart), expected[i].Sid) << i;
    }
    // Everyone may look, traverse and add, nothing more.
    EXPECT_EQ(kLogDirectoryEveryoneRights, static_cast<DWORD>(FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                                             FILE_READ_EA | READ_CONTROL | SYNCHRONIZE | FILE_ADD_FILE |
                                                             FILE_ADD_SUBDIRECTORY));

    // The same in the system's own text form.
    wchar_t* sddl = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        sd.Get(), SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &sddl, nullptr));
    const std::wstring text = sddl;
    ::LocalFree(sddl);
    EXPECT_EQ(text.find(L"O:"), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"G:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICIIO;GA;;;CO)(A;;0x1200af;;;WD)(A;;0x1200af;;;"), 0u)
        << text;
}

TEST(TraceDirectorySecurity, GeneralDescriptorWithOwner) {
    PSID system = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-18", &system));
    const AccessEntry entry{system, FILE_GENERIC_READ};
    PSECURITY_DESCRIPTOR raw = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
    EXPECT_EQ(BuildSecurityDescriptor(1, &entry, 0, system, nullptr, &raw), 0u);
    Descriptor sd(raw);
    ASSERT_NE(sd.Get(), nullptr);
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd.Get(), &owner, &defaulted));
    EXPECT_EQ(SidText(owner), L"S-1-5-18");
    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.Get(), &present, &dacl, &defaulted));
    EXPECT_EQ(dacl->AceCount, 1);
    ::LocalFree(system);
}

TEST(TraceCreatePath, CreatesTheDirectoriesButNotTheFile) {
    TempDir dir;
    EXPECT_TRUE(CreatePath((dir / L"a\\b\\f.log").c_str()));
    EXPECT_TRUE(Exists(dir / L"a\\b"));
    EXPECT_FALSE(Exists(dir / L"a\\b\\f.log"));
    // Everything exists already.
    EXPECT_TRUE(CreatePath((dir / L"a\\b\\f.log").c_str()));
    // Forward slashes become backslashes; a trailing separator creates the
    // last directory too.
    EXPECT_TRUE(CreatePath((dir.Path() + L"/c/d/f.log").c_str()));
    EXPECT_TRUE(Exists(dir / L"c\\d"));
    EXPECT_TRUE(CreatePath((dir / L"e\\g\\").c_str()));
    EXPECT_TRUE(Exists(dir / L"e\\g"));
    // A file created in such a directory can be written.
    HANDLE file = ::CreateFileW((dir / L"a\\b\\f.log").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

TEST(TraceCreatePath, RefusedPaths) {
    TempDir dir;
    EXPECT_FALSE(CreatePath(L"f.log"));
    EXPECT_FALSE(CreatePath(L"\\\\server"));
    EXPECT_FALSE(CreatePath(L"\\ab"));
    // A file directly in a root: nothing to create.
    EXPECT_TRUE(CreatePath(L"C:\\f.log"));
    // A directory that cannot be created (below a file) stops the walk.
    WriteBytes(dir / L"plain", "x");
    EXPECT_FALSE(CreatePath((dir / L"plain\\sub\\f.log").c_str()));
    // A path of 520 characters or more creates nothing.
    std::wstring longPath = dir / L"long\\";
    longPath += std::wstring(520 - longPath.size() - 6, L'x') + L"\\f.log";
    ASSERT_EQ(longPath.size(), 520u);
    EXPECT_FALSE(CreatePath(longPath.c_str()));
    EXPECT_FALSE(Exists(dir / L"long"));
}
