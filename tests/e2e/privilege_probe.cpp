// Stands in for reg.exe in a Wine prefix of its own (run-with-probe-reg): for
// "reg.exe export KEY FILE /y" it writes into FILE the names of the
// privileges its token holds, one a line, then whether it runs in a job.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size + 1);
    FILE* out = argc > 3 ? _wfopen(argv[3], L"wb") : nullptr;
    if (out == nullptr || !GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return 2;
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        char name[128];
        DWORD length = sizeof(name);
        if (LookupPrivilegeNameA(nullptr, &privileges->Privileges[i].Luid, name, &length)) std::fprintf(out, "%s\n", name);
    }
    std::fprintf(out, "job: %s\n", inJob ? "yes" : "no");
    return std::fclose(out);
}
