#pragma once
// Whether the service may be asked to write an export FILE: reg.exe runs as
// the service's account (LocalSystem), so a directory that others may change
// lets them plant a link that redirects the write anywhere.
#include <string>

namespace diagctl {

// Empty when nobody but LocalSystem, the Administrators, TrustedInstaller
// and the operator may change a directory of file's chain, none of them is
// a link, and file, when it exists, is no link either. Else why, naming the
// directory and the owner or SID at fault. The judgement is the trace's own
// for its log directories; nothing is created.
std::wstring JudgeExportTarget(const std::wstring& file);

}  // namespace diagctl
