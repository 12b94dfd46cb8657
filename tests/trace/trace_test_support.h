#pragma once
// Registry keys, directories and child processes of the trace tests' own.
#include "base/VqTrace.h"
#include "child_process.h"
#include "unix_side.h"

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

namespace trace_test {

// A key under HKLM\SOFTWARE\VqTraceTest with a name no other test uses;
// deleted with everything below it when the object goes.
class TestKey {
public:
    TestKey();
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    VqBase::TraceLocation Location() const { return {HKEY_LOCAL_MACHINE, m_Path}; }
    const std::wstring& Path() const { return m_Path; }

    // Values of the Trace key (sub empty) or of one of its sub-keys.
    void SetNumber(const std::wstring& sub, const wchar_t* name, DWORD value) const;
    void SetString(const std::wstring& sub, const wchar_t* name, const std::wstring& value) const;
    void SetRaw(const std::wstring& sub, const wchar_t* name, DWORD type, const void* data, DWORD size) const;

private:
    std::wstring m_Path;
};

// Sends the named program's records to a file in dir: levels 2, 4 and 8,
// the given parameters, TracePath dir.
void FileConfig(const TestKey& key, const wchar_t* name, const std::wstring& dir, DWORD params);
// The same for a common file at file.
void CommonFileConfig(const TestKey& key, const wchar_t* name, const std::wstring& file, DWORD params);

// A location whose key does not exist: the trace stays silent.
VqBase::TraceLocation MissingLocation();

// A fresh directory under the temporary directory, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return m_Path; }
    std::wstring operator/(const std::wstring& name) const { return m_Path + L"\\" + name; }

private:
    std::wstring m_Path;
};

std::wstring UniqueName(const wchar_t* prefix);
// The fallback files of name in dir, in no order.
std::vector<std::wstring> FallbackFiles(const TempDir& dir, const std::wstring& name);
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
// Splits at CR LF; the text after the last CR LF is dropped.
std::vector<std::string> Lines(const std::string& text);

// TraceVW/TraceVA of an implementation with variable arguments.
void Trace(VqBase::CTraceImpl& impl, DWORD level, const wchar_t* format, ...);
void TraceNarrow(VqBase::CTraceImpl& impl, DWORD level, const char* format, ...);

// Sets an environment variable (null removes it) and restores the old value.
class EnvOverride {
public:
    EnvOverride(const wchar_t* name, const wchar_t* value);
    ~EnvOverride();
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    std::wstring m_Name;
    std::wstring m_Old;
    bool m_Had = false;
};

using testing_support::RunUnixShell;
using testing_support::UnderWine;
using testing_support::UnixPath;

// Runs this test executable in a child mode: the disabled test
// TraceChild.DISABLED_<mode>. Under a debugger the child's debug strings
// are collected in order.
struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<std::string> debugStrings;
};
ChildResult RunChild(const std::wstring& mode, bool underDebugger, DWORD creationFlags = 0);

// Starts a child without waiting; null when it could not be started.
std::unique_ptr<testing_support::Child> StartChild(const std::wstring& mode, DWORD creationFlags = 0);

// Keeps the records of one implementation, with their levels.
class Records : public VqBase::ITraceRecordSink {
public:
    explicit Records(VqBase::CTraceImpl& impl) : m_Impl(impl) { impl.SetRecordSink(this); }
    ~Records() { m_Impl.SetRecordSink(nullptr); }
    void OnRecord(DWORD level, const char* record, size_t size) override {
        levels.push_back(level);
        texts.emplace_back(record, size);
    }
    std::vector<DWORD> levels;
    std::vector<std::string> texts;

private:
    VqBase::CTraceImpl& m_Impl;
};

}  // namespace trace_test
