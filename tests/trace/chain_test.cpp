// The log path's chain shared by the writing threads: a walk again begins
// only once no thread holds the old chain, whose handles are closed by then.
#include <gtest/gtest.h>

#include <thread>

#include "base/VqLogChain.h"
#include "trace_test_support.h"

using namespace VqBase;

TEST(TraceLogChain, AWalkAgainWaitsUntilTheOldChainIsGoneFromEveryThread) {
    std::atomic<bool> released{false};
    std::weak_ptr<const CLogTarget> first;
    int walks = 0;
    bool oldChainAlive = false;
    CLogChain chain([&](const std::wstring& path) {
        oldChainAlive = oldChainAlive || (walks > 0 && (!released || !first.expired()));
        auto target = std::make_shared<CLogTarget>();
        target->For = path;
        if (walks++ == 0) first = target;
        return std::shared_ptr<const CLogTarget>(target);
    });
    CLogChain::Hold writing = chain.Get(L"C:\\Logs\\x.log");
    // Another thread's open failed: it walks again while this one writes.
    std::thread failing([&] { chain.WalkAgain(chain.Get(L"C:\\Logs\\x.log"), true); });
    ::Sleep(100);
    released = true;
    writing.Release();
    failing.join();
    EXPECT_EQ(walks, 2);
    EXPECT_FALSE(oldChainAlive) << "walked again while another thread held the old chain";
    EXPECT_TRUE(first.expired());
}
