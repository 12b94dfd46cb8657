#include "target.h"

namespace diagctl {

ExportTarget::~ExportTarget() {
    // A file of diagctl's own that is still empty (never posted, no reply,
    // or a pair that failed) was not written, and is no export.
    if (m_File.Created() && m_File.Size() == 0)
        m_File.Remove();
}

ExportTarget::Verdict ExportTarget::Judge(const std::wstring& given, const std::vector<BYTE>& self,
                                          bool allowUntrusted) {
    const std::optional<TargetPath> path = ParseTargetPath(given, m_Reason);
    if (!path)
        return Refused;
    m_Path = *path;
    Verdict verdict = Accepted;
    switch (m_Chain.Walk(m_Path, self, allowUntrusted)) {
    case HeldChain::Refused:
        m_Reason = m_Chain.Problem();
        return Refused;
    case HeldChain::Untrusted:
        m_Reason = m_Chain.Problem();
        if (!allowUntrusted)
            return Untrusted;
        verdict = Untrusted;
        break;
    case HeldChain::Held:
        break;
    }
    switch (m_File.Open(m_Chain.Last(), m_Chain.Path(), m_Path.File, self)) {
    case HeldFile::Refused:
        m_Reason = m_File.Problem();
        return Refused;
    case HeldFile::Untrusted:
        if (m_Reason.empty())
            m_Reason = m_File.Problem();
        return Untrusted;
    case HeldFile::Held:
        break;
    }
    return verdict;
}

}  // namespace diagctl
