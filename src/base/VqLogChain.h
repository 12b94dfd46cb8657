#pragma once
// The checked directory chain of the configured log path, shared by every
// thread that writes: each holds it while it opens and writes in the held
// directory, and a walk again waits until nobody holds the old chain, then
// closes its handles before it opens the names again. Windows keeps a
// deleted directory delete-pending while a handle to it is open, so a walk
// beside another thread's copy of the old chain would meet the dying
// directory and lose that thread's lines.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "base/VqLogFile.h"

namespace VqBase {

// A chain that could not be walked, or never held a file, is walked again
// at most this often.
inline constexpr ULONGLONG kRewalkMs = 1000;

class CLogChain {
public:
    // Walks the chain of a path (WalkLogTarget in the sink; tests count).
    using Walker = std::function<std::shared_ptr<const CLogTarget>(const std::wstring& path)>;

    explicit CLogChain(Walker walk) : m_Walk(std::move(walk)) {}
    CLogChain(const CLogChain&) = delete;
    CLogChain& operator=(const CLogChain&) = delete;

    // A thread's use of the chain: while one exists, the chain it shows
    // stays open and no walk again begins. One per thread at a time.
    class Hold {
    public:
        Hold() = default;
        Hold(Hold&& other) noexcept { *this = std::move(other); }
        Hold& operator=(Hold&& other) noexcept;
        ~Hold() { Release(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        const CLogTarget* operator->() const { return m_Target; }
        const CLogTarget& operator*() const { return *m_Target; }
        explicit operator bool() const { return m_Target != nullptr; }
        // Which walk the chain came from.
        ULONGLONG Generation() const { return m_Generation; }
        void Release();

    private:
        friend class CLogChain;
        Hold(CLogChain* chain, const CLogTarget* target, ULONGLONG generation)
            : m_Chain(chain), m_Target(target), m_Generation(generation) {}
        CLogChain* m_Chain = nullptr;
        const CLogTarget* m_Target = nullptr;
        ULONGLONG m_Generation = 0;
    };

    // Holds the chain of path, walking it first when the chain is of
    // another path or there is none, or (again) in any case.
    Hold Get(const std::wstring& path, bool again = false);
    // Gives failed up and walks its path again (force: at once; else at
    // once after a chain that worked, and at most once a kRewalkMs after one
    // that never did), unless another thread has done so meanwhile; then
    // holds the chain that is current.
    Hold WalkAgain(Hold failed, bool force);

private:
    void Replace(const std::wstring& path);

    Walker m_Walk;
    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::shared_ptr<const CLogTarget> m_Target;
    ULONGLONG m_Generation = 0;
};

}  // namespace VqBase
