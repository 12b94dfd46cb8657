#pragma once
// What others plant under the log's own names. Everyone may add entries to
// a log directory, so a directory, a link, a file with a second link or a
// file of another owner may stand at NAME or NAME.1 before the sink gets
// there. None of them is obeyed: the entry is judged on its handle, and
// what is not the sink's to write is moved aside, whole, to a name nobody
// can guess, so that the sink can make its own file and the owner keeps
// what was planted.
#include <windows.h>

#include <string>
#include <vector>

namespace VqBase {

enum class PlantKind { None, Directory, Link, HardLink, ForeignOwner };

// "a directory", "a link", "a file with another link", "a file of another owner".
const wchar_t* PlantKindName(PlantKind kind);

// Why what is open at entry cannot be a log file the sink writes, or Kind
// None. A reparse point is a link; so is an entry whose final path is not
// expectedPath (some systems, Wine among them, follow a link even when
// asked not to); a second link would lead elsewhere. The owner is not
// judged here. standard receives the entry's size and links.
struct EntryVerdict {
    PlantKind Kind = PlantKind::None;
    std::wstring Reason;
};
EntryVerdict JudgeEntry(HANDLE entry, const std::wstring* expectedPath, FILE_STANDARD_INFO& standard);

// A plant that was moved aside: what it was, where it is kept, its owner.
struct MovedPlant {
    PlantKind Kind = PlantKind::None;
    std::wstring Aside;
    std::vector<BYTE> Owner;
};

// Moves whatever stands at name in directory (whose final path is
// directoryPath) aside to PlantAsideName, never replacing an entry and never
// through a link the system follows; foreign: the kind to report when the
// entry itself shows none (a file of another owner). Empty when done, else
// why not (held open without delete sharing, a followed link).
std::wstring MoveAside(HANDLE directory, const std::wstring& directoryPath, const std::wstring& name,
                       PlantKind foreign, MovedPlant& moved);

// "C:\Logs" and "x.log" as "C:\Logs\x.log".
std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);

}  // namespace VqBase
