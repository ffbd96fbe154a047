#pragma once

#include <initializer_list>

// Makes System32 the only folder searched for DLLs loaded by name from now on, so that no DLL placed beside the
// program (in Downloads, say) is ever loaded. Windows 7 without update KB2533623 lacks SetDefaultDllDirectories;
// there only the current directory is taken out of the search, and false is returned.
bool RestrictDllSearchToSystem32();

// Loads each of Windows' DLLs named from System32 and keeps it loaded, so that later loads by name, including those
// made by other system DLLs that search the program's folder regardless, find it already in the process.
// systemSearchKnown says whether LoadLibraryExW understands LOAD_LIBRARY_SEARCH_SYSTEM32 (the result above);
// otherwise each is loaded by its full System32 path, and what it imports itself is looked for in System32 first
// (LOAD_WITH_ALTERED_SEARCH_PATH), not in the program's folder.
void LoadFromSystem32(std::initializer_list<const wchar_t*> names, bool systemSearchKnown);

// From Windows 10 on: the process prefers System32's copy of any DLL it loads and loads none from a remote share.
// Does nothing where the system lacks the policy.
void PreferSystem32Images();
