#pragma once
// An export FILE as diagctl hands it to the service: reg.exe writes it as
// LocalSystem, through whatever the path reaches when it runs. So the path
// is brought to one plain form, its directories are judged and held, and
// the file is judged (or made) and held, from the judgement until the
// reply: nothing can be swapped in between.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "target_chain.h"
#include "target_file.h"
#include "target_path.h"

namespace diagctl {

class ExportTarget {
public:
    // Refused: not to be written; Untrusted: others could change or
    // redirect it (written only with --allow-untrusted-target).
    enum Verdict { Accepted, Untrusted, Refused };

    ExportTarget() = default;
    // A file that diagctl made and that nothing was written to is removed.
    ~ExportTarget();
    ExportTarget(const ExportTarget&) = delete;
    ExportTarget& operator=(const ExportTarget&) = delete;

    // given as on the command line; self is the operator. With
    // allowUntrusted an untrusted target is held and Untrusted returned,
    // for the caller to warn.
    Verdict Judge(const std::wstring& given, const std::vector<BYTE>& self, bool allowUntrusted);

    // The path to post: the one judged, in the form reg.exe can open.
    const std::wstring& Posted() const { return m_Path.Posted; }
    // Why it was refused, or why it is untrusted.
    const std::wstring& Reason() const { return m_Reason; }

    // After the reply, with the pair's exit code: a file that a stop ended
    // the export of (995) is removed, since it would pass for a complete
    // one, and so is one that diagctl made for a pair that failed. Says what
    // was done, or nothing.
    std::wstring Settle(std::uint32_t code);

private:
    TargetPath m_Path;
    HeldChain m_Chain;
    HeldFile m_File;
    std::wstring m_Reason;
    bool m_Settled = false;
};

}  // namespace diagctl
