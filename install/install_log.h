#pragma once

#include <string>

#include "config/registration.h"

// The diagnostics log of builds made with VELMOR_LOG=ON: %TEMP%\<log_name of product.toml>, one line per step of the
// run, each with its local time, for a support person to read. Builds without it write no file. Nothing secret goes in:
// the addresses and proxies used, statuses, error codes, sizes and times, but no credentials and no cookies.

// Starts this run's log, replacing the previous run's: the old file is deleted and a new one created, in a %TEMP%
// reached without passing a link, never opened through one, with the signed-in user's rights where that is possible
// (see DesktopUserImpersonation). Call once, before any other thread runs. Does nothing
// in builds without the log, or when the file cannot be made.
void StartInstallLog();

// Appends one line with the time; control characters in text are escaped, so one step is always one line. Any thread
// may call it, up to the process's very end; it does nothing when there is no log.
void LogStep(const std::string& text);

// "error <code>" of a Windows error code, for a line.
std::string ErrorText(unsigned long code);

// The first lines of a run: the installer's version, channel and architecture, and the Windows it runs on.
void LogRunStart();

// How the registration in config.toml ended, and with whose rights.
void LogRegistration(const RegistrationReport& report);
