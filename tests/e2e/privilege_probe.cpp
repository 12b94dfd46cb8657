// Stands in for reg.exe in a Wine prefix of its own (run-with-probe-reg): for
// "reg.exe export KEY FILE /y" it writes into FILE the name of each privilege
// its token holds, one a line, then whether it runs in a job, and ends with 0.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 87;
    // Asked first, before anything else of the process has run.
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 2;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return 3;
    FILE* out = _wfopen(argv[3], L"wb");
    if (out == nullptr) return 4;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID luid = privileges->Privileges[i].Luid;
        char name[128];
        DWORD length = sizeof(name);
        if (LookupPrivilegeNameA(nullptr, &luid, name, &length)) std::fprintf(out, "%s\n", name);
    }
    std::fprintf(out, "job: %s\n", inJob ? "yes" : "no");
    std::fclose(out);
    CloseHandle(token);
    return 0;
}
