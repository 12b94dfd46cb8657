#pragma once
// The names the log file's sink makes beside the log in its directory: the
// rotated generation, and the unique names of a fallback file, of a plant
// moved aside and of the next file of a rotation. Everyone may add entries
// to a log directory, so a name the sink makes for itself must be one
// nobody can guess and take first.
#include <windows.h>

#include <string>

namespace VqBase {

// 16 hexadecimal digits from the system's random number generator; empty
// when it gives none (the caller then makes no such name).
std::wstring RandomToken();

// "NAME.1": the generation a rotation keeps.
std::wstring RotatedName(const std::wstring& name);

// Where the lines go when NAME cannot be written: NAME's stem,
// ".fallback-", the token and NAME's extension ("ReRiruRuvazor.log" gives
// "ReRiruRuvazor.fallback-0123456789ABCDEF.log").
std::wstring FallbackFileName(const std::wstring& name, const std::wstring& token);
// The same with "*" for the token: what FindFirstFileW lists them by.
std::wstring FallbackFilePattern(const std::wstring& name);
// Whether candidate is a fallback file name of NAME (any token).
bool IsFallbackFileName(const std::wstring& name, const std::wstring& candidate);

// "NAME.planted-TOKEN": where something planted at NAME or NAME.1 is kept.
std::wstring PlantAsideName(const std::wstring& name, const std::wstring& token);
// "NAME.next-TOKEN": the next file of a rotation until it takes NAME's place.
std::wstring NextFileName(const std::wstring& name, const std::wstring& token);
// "NAME.old-TOKEN": the older generation on its way out.
std::wstring RetiredName(const std::wstring& name, const std::wstring& token);

}  // namespace VqBase
