#include "target.h"

namespace diagctl {
namespace {

// The pair's code after a stop of the service ended or kept back its reg.exe.
constexpr std::uint32_t kOperationAborted = ERROR_OPERATION_ABORTED;

}  // namespace

ExportTarget::~ExportTarget() {
    // Never posted, or no reply: a file of diagctl's own that is still empty
    // was not written, and is no export.
    if (!m_Settled && m_File.Created() && m_File.Size() == 0)
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

std::wstring ExportTarget::Settle(std::uint32_t code) {
    const bool settled = m_Settled;
    m_Settled = true;
    if (settled || code == 0)
        return {};
    std::wstring why;
    if (code == kOperationAborted)
        why = L"a stop of the service ended its export, so it would pass for a complete one";
    else if (m_File.Created())
        why = L"diagctl had made it for this pair, which failed";
    else
        return {};
    const std::wstring failed = m_File.Remove();
    return failed.empty() ? L"removed \"" + m_Path.Full + L"\": " + why + L"\n"
                          : L"could not remove \"" + m_Path.Full + L"\" (" + why + L"): " + failed + L"\n";
}

}  // namespace diagctl
