#pragma once
// What an export FILE names, judged by its form before any handle is
// opened. reg.exe writes it as LocalSystem through whatever the path
// reaches, so every spelling is brought to one plain path to a file on a
// drive or a share, or refused: a device (NUL, con.reg), a stream of
// another file (out.reg:s), a volume or device path, a name no file may
// have.
#include <optional>
#include <string>
#include <vector>

namespace diagctl {

struct TargetPath {
    std::wstring Root;  // "C:\" or "\\server\share\"
    std::vector<std::wstring> Directories;
    std::wstring File;
    // Root, directories and file: the path that is judged.
    std::wstring Full;
    // What reg.exe is given: Full, or its \\?\ form when Full is MAX_PATH
    // characters or longer (a program that is not long-path aware would
    // fail on it otherwise).
    std::wstring Posted;
};

// The longest name the file systems of Windows take (NTFS, exFAT, FAT32).
inline constexpr size_t kLongestName = 255;

// given as on the command line; a relative path is taken against the current
// directory. Nullopt, with why, for a path that names no plain file.
std::optional<TargetPath> ParseTargetPath(const std::wstring& given, std::wstring& why);

}  // namespace diagctl
