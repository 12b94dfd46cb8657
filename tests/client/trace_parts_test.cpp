// The trace verbs' pieces without a registry: their command line, the words
// for the masks, and the lines tail takes from the end of a log.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cmdline.h"
#include "trace.h"
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

TEST(TraceParts, LastLinesCountALineNotEndedYetAndDropTheLineEnds) {
    EXPECT_EQ(diagctl::LastLines("a\r\nb\r\nc\r\n", 2), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(diagctl::LastLines("a\r\nb\r\npart", 2), (std::vector<std::string>{"b", "part"}));
    EXPECT_EQ(diagctl::LastLines("a\r\n\r\nb\r\n", 5), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(diagctl::LastLines("a\r\n", 0).empty());
    // Code page 1251 into the console's characters.
    EXPECT_EQ(diagctl::FromLogCodePage({"\xEB\xEE\xE3"}), L"\u043B\u043E\u0433\n");
}

TEST(TraceParts, ShowSaysWhereAndHowFallbackFilesAreNamed) {
    VqBase::TraceSettings settings;
    settings.TraceKeyFound = true;
    settings.FilePath = L"C:\\Logs\\ReRiruRuvazor.log";
    EXPECT_THAT(diagctl::DescribeTraceSettings(settings),
                HasSubstr(L"fallback:   C:\\Logs\\ReRiruRuvazor.fallback-<16 random hex digits>.log, when"));
}
