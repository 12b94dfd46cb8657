// The trace verbs' pieces without a registry: their command line, the words
// for the masks, and the lines tail takes from the end of a log.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "cmdline.h"
#include "trace.h"
#include "log_text.h"
#include "trace_tail.h"
#include "trace_words.h"

using testing::HasSubstr;

TEST(TraceParts, TraceAndItsWordMakeOneVerbWithItsOwnOptions) {
    const diagctl::CommandLine tail = diagctl::ParseCommandLine({L"trace", L"tail", L"--follow", L"-n", L"5"});
    EXPECT_TRUE(tail.Error.empty()) << tail.Error;
    EXPECT_EQ(tail.Verb, L"trace tail");
    EXPECT_TRUE(tail.Follow);
    EXPECT_EQ(tail.TailLines, 5u);
    EXPECT_TRUE(tail.Arguments.empty());
    EXPECT_THAT(diagctl::ParseCommandLine({L"trace", L"show", L"--follow"}).Error, HasSubstr(L"does not apply"));
    EXPECT_THAT(diagctl::ParseCommandLine({L"trace", L"set", L"-n", L"1"}).Error, HasSubstr(L"does not apply"));
    EXPECT_THAT(diagctl::ParseCommandLine({L"trace"}).Error, HasSubstr(L"show, set, off"));
    EXPECT_THAT(diagctl::ParseCommandLine({L"trace", L"shwo"}).Error, HasSubstr(L"unknown verb"));
}

TEST(TraceParts, ListsOfWordsBecomeBitsAndBack) {
    using diagctl::TraceWords;
    std::wstring error;
    EXPECT_EQ(diagctl::ParseTraceWords(TraceWords::Levels, L"info,warning,error", error), 0x0Eu);
    EXPECT_EQ(diagctl::ParseTraceWords(TraceWords::Fields, L"date,time,msec,name,session,ids", error), 0xFC00u);
    EXPECT_EQ(diagctl::ParseTraceWords(TraceWords::Sinks, L"none", error), 0u);
    EXPECT_EQ(diagctl::TraceWordList(TraceWords::Sinks, 0xFD19), L"file,debugger,console");
    // A word of another group, and an empty one, are refused.
    for (const wchar_t* bad : {L"info,file", L"info,,error", L""}) {
        EXPECT_FALSE(diagctl::ParseTraceWords(TraceWords::Levels, bad, error)) << bad;
        EXPECT_THAT(error, HasSubstr(L"info, warning, error, break")) << bad;
    }
}

// The last lines of a log as tail prints them: a line not ended yet counts,
// CR LF ends a line, code page 1251 becomes the console's characters.
std::wstring Tail(const std::string& bytes, ULONGLONG count) {
    const diagctl::ReadAt read = [&bytes](ULONGLONG offset, char* buffer, size_t size) {
        const size_t length = std::min<size_t>(size, bytes.size() - static_cast<size_t>(offset));
        std::copy_n(bytes.data() + offset, length, buffer);
        return length;
    };
    diagctl::LogTextDecoder decoder;
    const std::string tail = bytes.substr(static_cast<size_t>(diagctl::StartOfLastLines(read, bytes.size(), count)));
    const std::wstring text = decoder.Decode(tail.data(), tail.size());
    return text + decoder.Finish();
}

TEST(TraceParts, LastLinesCountALineNotEndedYetAndDropTheLineEnds) {
    EXPECT_EQ(Tail("a\r\nb\r\nc\r\n", 2), L"b\nc\n");
    EXPECT_EQ(Tail("a\r\nb\r\npart", 2), L"b\npart\n");
    EXPECT_EQ(Tail("a\r\n\r\nb\r\n", 5), L"a\n\nb\n");
    EXPECT_EQ(Tail("a\r\n", 0), L"");
    EXPECT_EQ(Tail("a\r\nb\r\n", 0xFFFFFFFFull), L"a\nb\n");
    // Code page 1251 into the console's characters.
    EXPECT_EQ(Tail("\xEB\xEE\xE3", 1), L"\u043B\u043E\u0433\n");
    // A CR at the end of one piece and its LF at the start of the next end one line.
    diagctl::LogTextDecoder decoder;
    std::wstring text = decoder.Decode("a\r", 2);
    text += decoder.Decode("\nb\r", 3);
    EXPECT_EQ(text + decoder.Finish(), L"a\nb\\x0D\n");
}

TEST(TraceParts, ShowSaysWhereAndHowFallbackFilesAreNamed) {
    VqBase::TraceSettings settings;
    settings.TraceKeyFound = true;
    settings.FilePath = L"C:\\Logs\\ReRiruRuvazor.log";
    EXPECT_THAT(diagctl::DescribeTraceSettings(settings),
                HasSubstr(L"fallback:   C:\\Logs\\ReRiruRuvazor.fallback-<16 random hex digits>.log, when"));
}
