// diagctl reads the texts of the product's codes from VqError.dll beside
// itself only: copies planted in the current directory or on PATH, even one
// whose message table faults its reader, are never loaded.
#include <windows.h>

#include <gtest/gtest.h>

#include "child_process.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "VqErrorCodes.h"
#include "channel_support.h"

namespace {

namespace fs = std::filesystem;

// diagctl at program posts a request from directory with pathFront first on
// PATH, and the test answers it with a product code; what diagctl printed.
std::string AnsweredWithProductCode(const fs::path& program, const fs::path& directory, const fs::path& pathFront,
                                    const fs::path& out) {
    const std::wstring prefix = channel_test::UniqueName(L"planted");
    const diagctl::ChannelNames names = diagctl::PrefixedChannelNames(prefix);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    std::wstring command = L"\"" + program.wstring() + L"\" --names " + prefix + L" --timeout 20000 raw 0 0";
    std::wstring path(32767, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", path.data(), 32767));
    SetEnvironmentVariableW(L"PATH", (pathFront.wstring() + L";" + path).c_str());  // inherited at the start
    PROCESS_INFORMATION info{};
    const BOOL started = testing_support::StartProcess(nullptr, command.data(), TRUE, CREATE_NO_WINDOW, &startup, &info,
                                                       directory.c_str());
    SetEnvironmentVariableW(L"PATH", path.c_str());
    CloseHandle(file);
    if (!started)
        return "diagctl did not start";

    // The service's side once diagctl has made the channel (work-done last).
    HANDLE workDone = nullptr;
    for (int i = 0; i < 400 && !workDone && WaitForSingleObject(info.hProcess, 50) == WAIT_TIMEOUT; ++i)
        workDone = OpenEventW(EVENT_MODIFY_STATE, FALSE, names.WorkDone.c_str());
    const HANDLE doWork = OpenEventW(SYNCHRONIZE, FALSE, names.DoWork.c_str());
    const HANDLE section = OpenFileMappingW(FILE_MAP_WRITE, FALSE, names.Section.c_str());
    void* view = section ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
    if (workDone && view && WaitForSingleObject(doWork, 20000) == WAIT_OBJECT_0) {
        const WorkItem reply{static_cast<std::int32_t>(VqMessages::VQ_E_WORK_CHANNEL_NOT_OPEN), {0}};
        std::memcpy(view, &reply, sizeof(reply));
        SetEvent(workDone);
    }
    if (WaitForSingleObject(info.hProcess, 30000) != WAIT_OBJECT_0)
        TerminateProcess(info.hProcess, 1);
    if (view)
        UnmapViewOfFile(view);
    for (HANDLE handle : {section, doWork, workDone, info.hThread, info.hProcess})
        if (handle)
            CloseHandle(handle);
    std::ifstream output(out, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(output), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(PlantedMessageModule, InTheCurrentDirectoryOrOnPathIsNeverRead) {
    struct Folder {
        fs::path Base = fs::temp_directory_path() / (L"vq-planted-" + std::to_wstring(GetCurrentProcessId()));
        // The console hosts of the runs may hold their files a moment longer.
        ~Folder() {
            std::error_code error;
            for (int i = 0; i < 40 && (fs::remove_all(Base, error), fs::exists(Base, error)); ++i)
                Sleep(50);
        }
    } folder;
    const fs::path app = folder.Base / L"app", cwd = folder.Base / L"cwd", onPath = folder.Base / L"path";
    for (const fs::path& directory : {app, cwd, onPath})
        fs::create_directories(directory);
    fs::copy_file(channel_test::BesideSelf(L"diagctl.exe"), app / L"diagctl.exe");
    auto plant = [](const wchar_t* built, const fs::path& directory) {
        fs::copy_file(channel_test::BesideSelf(built), directory / L"VqError.dll", fs::copy_options::overwrite_existing);
    };
    int runs = 0;
    auto run = [&](const fs::path& directory, const fs::path& pathFront) {
        const fs::path out = folder.Base / (std::to_wstring(++runs) + L".txt");
        return AnsweredWithProductCode(app / L"diagctl.exe", directory, pathFront, out);
    };
    const std::string noText = "result: 3321888769 (0xC6000001)\n";

    plant(L"VqError.dll", cwd);
    plant(L"VqError.dll", onPath);
    const std::string inCwd = run(cwd, {});
    EXPECT_NE(inCwd.find(noText), std::string::npos) << inCwd;
    const std::string inPath = run(folder.Base, onPath);
    EXPECT_NE(inPath.find(noText), std::string::npos) << inPath;

    // A table whose entries lie outside it faults whoever reads it.
    plant(L"vq_malformed_messages.dll", cwd);
    plant(L"vq_malformed_messages.dll", onPath);
    const std::string malformed = run(cwd, onPath);
    EXPECT_NE(malformed.find(noText), std::string::npos) << malformed;

    // Beside diagctl the module is read.
    plant(L"VqError.dll", app);
    const std::string beside = run(cwd, onPath);
    EXPECT_NE(beside.find("result: 3321888769 (0xC6000001) "), std::string::npos) << beside;
}
