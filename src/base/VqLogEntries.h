#pragma once
// Entries of a held log directory changed through handles: renamed, linked
// and deleted by the object's own handle and relative to the directory's,
// never by a path that another user could redirect between two calls.
#include <windows.h>

#include <string>

namespace VqBase {

// Gives the object open at object (with DELETE) the name name in directory.
// replace: an existing entry of that name may be replaced (a file that is
// open anywhere is not: the status says so). Returns the status.
LONG RenameEntry(HANDLE object, HANDLE directory, const std::wstring& name, bool replace);

// Adds name in directory as one more link of the file open at file; an
// existing entry of that name is never replaced. Returns the status.
LONG LinkEntry(HANDLE file, HANDLE directory, const std::wstring& name);

// Deletes the object open at object (with DELETE): its entry goes when its
// last handle closes. False with the last error when it cannot.
bool DeleteEntry(HANDLE object);

// The file's index on its volume: which file a handle is open on.
bool FileIndexOf(HANDLE file, LONGLONG& index);

}  // namespace VqBase
