// diagctl's request encoding, reply decoding and channel set-up.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "channel.h"
#include "channel_support.h"
#include "diagproto.h"

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

std::vector<std::uint8_t> Record(std::int32_t result, std::int32_t size, const std::vector<std::uint32_t>& values,
                                 size_t total) {
    std::vector<std::uint8_t> bytes(total, 0);
    std::memcpy(bytes.data(), &result, 4);
    std::memcpy(bytes.data() + 4, &size, 4);
    if (!values.empty())
        std::memcpy(bytes.data() + 8, values.data(), values.size() * 4);
    return bytes;
}

}  // namespace

TEST(DiagProto, ExportRequestIsHeaderThenNulSeparatedStringsAndClosingNul) {
    const auto bytes = diagproto::EncodeExport({{L"K", L"F"}});
    const std::vector<std::uint8_t> expected = {1, 0, 0, 0, 10, 0, 0, 0, 'K', 0, 0, 0, 'F', 0, 0, 0, 0, 0};
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(diagproto::EncodeQuit(), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(diagproto::EncodeRequest(-1, -4, {0xAB}),
              (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFC, 0xFF, 0xFF, 0xFF, 0xAB}));
}

TEST(DiagProto, ReplyDecodingNeverReadsPastTheSection) {
    const auto good = Record(0, 8, {7, 9}, 64);
    auto reply = diagproto::DecodeReply(good.data(), good.size());
    EXPECT_TRUE(reply.DataSizeValid);
    EXPECT_THAT(reply.Values, ElementsAre(7u, 9u));

    for (std::int32_t size : {-4, 57, 6}) {
        const auto bad = Record(0, size, {}, 64);
        reply = diagproto::DecodeReply(bad.data(), bad.size());
        EXPECT_FALSE(reply.DataSizeValid) << size;
        EXPECT_TRUE(reply.Values.empty());
    }
    const auto full = Record(0, 56, {}, 64);
    EXPECT_TRUE(diagproto::DecodeReply(full.data(), full.size()).DataSizeValid);
    EXPECT_FALSE(diagproto::DecodeReply(full.data(), 4).DataSizeValid);
}

TEST(DiagProto, CommandLinePieces) {
    diagproto::ExportPair pair;
    EXPECT_TRUE(diagproto::ParsePair(L"HKCU\\A=C:\\a=b.reg", pair));
    EXPECT_EQ(pair.Key, L"HKCU\\A");
    EXPECT_EQ(pair.File, L"C:\\a=b.reg");
    EXPECT_FALSE(diagproto::ParsePair(L"=C:\\a.reg", pair));
    EXPECT_FALSE(diagproto::ParsePair(L"HKCU\\A=", pair));
    EXPECT_FALSE(diagproto::ParsePair(L"HKCU\\A", pair));

    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(diagproto::ParseHex(L"41 00,4a:ff", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x41, 0x00, 0x4A, 0xFF}));
    EXPECT_FALSE(diagproto::ParseHex(L"4", bytes));
    EXPECT_FALSE(diagproto::ParseHex(L"4 1", bytes));
    EXPECT_FALSE(diagproto::ParseHex(L"zz", bytes));

    std::int32_t value = 0;
    EXPECT_TRUE(diagproto::ParseInt32(L"-4", value));
    EXPECT_EQ(value, -4);
    EXPECT_TRUE(diagproto::ParseInt32(L"0x7FFFFFFF", value));
    EXPECT_EQ(value, 0x7FFFFFFF);
    EXPECT_TRUE(diagproto::ParseInt32(L"0xFFFFFFFF", value));
    EXPECT_EQ(value, -1);
    EXPECT_FALSE(diagproto::ParseInt32(L"0x100000000", value));
    EXPECT_FALSE(diagproto::ParseInt32(L"12x", value));
    EXPECT_FALSE(diagproto::ParseInt32(L"", value));
}

TEST(DiagProto, ExitCodeTellsOutcomesApart) {
    diagproto::Reply reply;
    reply.DataSizeValid = true;
    reply.Values = {0, 0};
    EXPECT_EQ(diagproto::ExitCodeFor(reply, 1), diagproto::kExitSuccess);
    reply.Values = {0, 1};
    EXPECT_EQ(diagproto::ExitCodeFor(reply, 1), diagproto::kExitFailed);
    EXPECT_EQ(diagproto::ExitCodeFor(reply, 0), diagproto::kExitSuccess);
    reply.ResultCode = 13;
    EXPECT_EQ(diagproto::ExitCodeFor(reply, 0), diagproto::kExitRefused);
    reply.ResultCode = 87;
    EXPECT_EQ(diagproto::ExitCodeFor(reply, 1), diagproto::kExitFailed);
}

TEST(DiagProto, FormattedReplyNamesEachPair) {
    diagproto::Reply reply;
    reply.ResultCode = 2;
    reply.DataSize = 8;
    reply.DataSizeValid = true;
    reply.Values = {0, 2};
    const std::vector<diagproto::ExportPair> pairs = {{L"HKCU\\A", L"C:\\a.reg"}, {L"HKCU\\B", L"C:\\b.reg"}};
    const std::wstring text = diagproto::FormatReply(reply, &pairs, L"File not found.");
    EXPECT_THAT(text, HasSubstr(L"result: 2 (0x00000002) File not found.\n"));
    EXPECT_THAT(text, HasSubstr(L"data size: 8\n"));
    EXPECT_THAT(text, HasSubstr(L"pair 1: key \"HKCU\\A\" file \"C:\\a.reg\" exit code 0 (0x00000000)\n"));
    EXPECT_THAT(text, HasSubstr(L"pair 2: key \"HKCU\\B\" file \"C:\\b.reg\" exit code 2 (0x00000002)\n"));
}

// A result of 0 over failed pairs must not read as a success.
TEST(DiagProto, PairSummaryCountsTheFailedPairsAndExplainsEachCode) {
    diagproto::Reply reply;
    reply.Values = {0, 1, 995, 2};
    const std::vector<diagproto::ExportPair> pairs(4);
    const auto text = [](std::uint32_t code) { return L"text " + std::to_wstring(code); };
    EXPECT_EQ(diagproto::FormatPairSummary(reply, pairs, text),
              L"3 of 4 pairs failed\n"
              L"pair 2 (exit code 1): reg.exe failed: the key does not exist or the file could not be written\n"
              L"pair 3 (exit code 995): a stop of the service ended reg.exe or kept it from starting (the file may "
              L"be incomplete)\n"
              L"pair 4 (exit code 2): not an exit code of reg.exe's own (0 or 1): reg.exe could not be started or "
              L"was ended: text 2\n");
    reply.Values = {0, 0, 0, 0};
    EXPECT_EQ(diagproto::FormatPairSummary(reply, pairs, text), L"");
}

TEST(ChannelSetup, ObjectsAreOwnedByAdministratorsWithADaclForSystemAndAdministratorsOnly) {
    diagctl::ChannelSecurity security(EVENT_ALL_ACCESS);
    ASSERT_TRUE(security.Valid());
    EXPECT_TRUE(IsWellKnownSid(security.Owner(), WinBuiltinAdministratorsSid));
    const ACL* acl = security.Dacl();
    ASSERT_EQ(acl->AceCount, 2);
    std::vector<bool> found(2, false);
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(const_cast<ACL*>(acl), i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Mask, static_cast<DWORD>(EVENT_ALL_ACCESS));
        const PSID sid = &allowed->SidStart;
        found[0] = found[0] || IsWellKnownSid(sid, WinLocalSystemSid);
        found[1] = found[1] || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
    }
    EXPECT_THAT(found, ElementsAre(true, true));
}

TEST(ChannelSetup, RefusesNamesThatExistAlready) {
    for (int taken = 0; taken < 3; ++taken) {
        const auto names = diagctl::PrefixedChannelNames(channel_test::UniqueName(L"taken"));
        HANDLE planted = nullptr;
        if (taken == 0)
            planted = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, names.Section.c_str());
        else
            planted = CreateEventW(nullptr, TRUE, TRUE, (taken == 1 ? names.DoWork : names.WorkDone).c_str());
        ASSERT_NE(planted, nullptr);
        std::wstring message;
        diagctl::Channel::CreateError error = diagctl::Channel::CreateError::None;
        EXPECT_EQ(diagctl::Channel::Create(names, 4096, message, &error), nullptr);
        EXPECT_EQ(error, diagctl::Channel::CreateError::AlreadyExists);
        EXPECT_THAT(message, HasSubstr(L"exists already"));
        CloseHandle(planted);
        // What the refused attempt created is gone again: the names are free.
        auto channel = diagctl::Channel::Create(names, 4096, message, &error);
        EXPECT_NE(channel, nullptr) << taken;
    }
}

// The service may still answer the unanswered request: its reply would be
// read as the next request's.
TEST(ChannelSetup, AfterAnUnansweredRequestNothingMoreIsPosted) {
    const auto names = diagctl::PrefixedChannelNames(channel_test::UniqueName(L"late"));
    std::wstring message;
    auto channel = diagctl::Channel::Create(names, 4096, message);
    ASSERT_NE(channel, nullptr);
    const HANDLE doWork = OpenEventW(SYNCHRONIZE, FALSE, names.DoWork.c_str());
    const HANDLE workDone = OpenEventW(EVENT_MODIFY_STATE, FALSE, names.WorkDone.c_str());
    ASSERT_NE(doWork, nullptr);
    ASSERT_NE(workDone, nullptr);
    EXPECT_EQ(channel->Post(diagproto::EncodeQuit(), 50), diagctl::PostResult::TimedOut);
    EXPECT_EQ(WaitForSingleObject(doWork, 0), WAIT_OBJECT_0);  // the service takes the request
    ASSERT_TRUE(SetEvent(workDone));                            // and answers it late
    EXPECT_EQ(channel->Post(diagproto::EncodeQuit(), 50), diagctl::PostResult::OutOfStep);
    EXPECT_EQ(WaitForSingleObject(doWork, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "a second request was posted";
    CloseHandle(workDone);
    CloseHandle(doWork);
}

TEST(ChannelSetup, PostTimesOutWhenNobodyAnswers) {
    const auto names = diagctl::PrefixedChannelNames(channel_test::UniqueName(L"silent"));
    std::wstring message;
    auto channel = diagctl::Channel::Create(names, 4096, message);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->Post(diagproto::EncodeQuit(), 50), diagctl::PostResult::TimedOut);
    std::vector<std::uint8_t> tooLarge(4097, 0);
    EXPECT_EQ(channel->Post(tooLarge, 50), diagctl::PostResult::Failed);
}
