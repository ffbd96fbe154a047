#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "base/unique_handle.h"

using UniqueLocalMemory = UniqueHandle<HLOCAL, NullEmptyTraits<HLOCAL, LocalFree>>;

// The security descriptor that the staging folder is created with: a protected DACL, so that nothing is inherited
// from %SystemRoot%\Temp (where every user may create entries), granting full control to SYSTEM and Administrators
// and to nobody else, on the folder and on everything made inside it. Empty on failure.
UniqueLocalMemory AdministratorsOnlySecurity();

// A folder of this run's own for the setup program, which starts elevated from it with it as its current directory:
// no program without administrator rights can put a DLL beside it, or change, replace or link anything in it. It is
// created new under %SystemRoot%\Temp with an unguessable name and AdministratorsOnlySecurity, and held from then on
// so that it can be neither renamed nor deleted. The owner removes it with everything inside.
class StagingFolder {
public:
    // Creates one; empty (false) when it cannot be made, or when what was made is not a plain folder.
    static StagingFolder Create();

    StagingFolder() = default;
    StagingFolder(StagingFolder&& other) noexcept
        : path_(std::exchange(other.path_, {})),
          finalPath_(std::move(other.finalPath_)),
          held_(std::move(other.held_)) {}
    StagingFolder& operator=(StagingFolder&&) = delete;
    ~StagingFolder() { Remove(); }

    explicit operator bool() const { return !path_.empty(); }
    const std::wstring& path() const { return path_; }

    // Deletes everything in the folder, never following a link inside it, then the folder; tries again for about a
    // second while something inside is still in use. True once it is gone. The owner's end calls it too.
    bool Remove();

private:
    std::wstring path_;       // empty once removed
    std::wstring finalPath_;  // as the system resolves it, for the checks of the removal
    UniqueFileHandle held_;   // the folder itself, without delete sharing
};

// Removes the staging folders that earlier runs left behind (a run closed during its download ends at once), with
// what they hold: every folder of %SystemRoot%\Temp with a name that Create gives, unless another program holds it
// (a running installer holds its own) or it is a link, which is left alone, as is anything a link inside one points
// to. Returns how many were removed.
int RemoveEarlierStagingFolders();
