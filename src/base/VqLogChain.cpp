// The log path's chain, shared by the writing threads and walked again by
// one of them alone.
#include "base/VqLogChain.h"

#include "base/VqOwners.h"

namespace VqBase {

CLogChain::Hold& CLogChain::Hold::operator=(Hold&& other) noexcept {
    if (this != &other) {
        Release();
        m_Chain = other.m_Chain;
        m_Target = other.m_Target;
        m_Generation = other.m_Generation;
        other.m_Chain = nullptr;
        other.m_Target = nullptr;
    }
    return *this;
}

void CLogChain::Hold::Release() {
    if (m_Chain) ::ReleaseSRWLockShared(&m_Chain->m_Lock);
    m_Chain = nullptr;
    m_Target = nullptr;
}

CLogChain::Hold CLogChain::Get(const std::wstring& path, bool again) {
    if (again) {
        ExclusiveLock lock(m_Lock);
        Replace(path);
    }
    for (;;) {
        ::AcquireSRWLockShared(&m_Lock);
        if (m_Target && m_Target->For == path) return Hold(this, m_Target.get(), m_Generation);
        ::ReleaseSRWLockShared(&m_Lock);
        ExclusiveLock lock(m_Lock);
        if (!m_Target || m_Target->For != path) Replace(path);
    }
}

CLogChain::Hold CLogChain::WalkAgain(Hold failed, bool force) {
    const std::wstring path = failed->For;
    const ULONGLONG generation = failed.m_Generation;
    const bool due =
        force || failed->Worked.load() || ::GetTickCount64() - failed->WalkedAt >= kRewalkMs;
    failed.Release();
    if (due) {
        // Exclusive: every other thread has let the old chain go.
        ExclusiveLock lock(m_Lock);
        if (m_Generation == generation) Replace(path);
    }
    return Get(path);
}

void CLogChain::Replace(const std::wstring& path) {
    // The old chain's handles close before its names are opened again.
    m_Target.reset();
    m_Target = m_Walk(path);
    ++m_Generation;
}

}  // namespace VqBase
