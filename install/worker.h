#pragma once

#include <windows.h>

#include <string>

#include "net/download.h"

// The install flow, run once on its own thread: choose the build, download it into a new staging folder that only
// administrators can write (install/staging_folder.h), hide the window, run the setup program from that folder, wait
// for it, remove the folder and close the window. From the end of the download until the setup program has ended the
// file is held open against change. On failure it shows the failure dialog, and removes the folder with the file;
// after a failed download the window stays open.
void InstallWorker(HWND window);

// The same flow with another download function in place of DownloadFile. An exception out of it, as out of any step,
// counts as a failed download.
using DownloadFunction = bool (*)(const std::string& url,
                                  const std::string& savePath,
                                  std::string& error,
                                  ProgressCallback onProgress);
void InstallWorker(HWND window, DownloadFunction download);

// Called by the entry point once it has shown the window. Until then a finished download waits before the window is
// hidden for the setup program.
void NoteMainWindowShown();

// Starts InstallWorker on a detached thread. When no thread can be had, shows the download-failure dialog on the
// calling thread instead and leaves the window open.
void StartInstallWorker(HWND window);

// The same with the way the thread is started supplied by the caller; it throws std::system_error on failure, as
// std::thread does.
void StartInstallWorker(HWND window, void (*startThread)(HWND window));

// True when the running Windows is at least major.minor with the given service pack.
bool IsWindowsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor);

// The WebView2 Runtime's version, from the "pv" value under the per-machine or else the per-user client key; empty
// when neither holds a version other than "" and "0.0.0.0".
std::wstring FindWebView2RuntimeVersion();

// True when FindWebView2RuntimeVersion finds one.
bool IsWebView2RuntimeInstalled();

// The download address that this machine needs: the WebView build on Windows 7 or without the runtime, the release
// build otherwise; and why, for the diagnostics log.
struct BuildChoice {
    std::string url;
    std::string reason;
};
BuildChoice ChooseBuild();

// ChooseBuild's address.
std::string ChooseDownloadUrl();
