#pragma once

// For tests: when set, called on the thread that writes into the user's places, at the moment it writes (the
// registration just before config.toml is written, the log just before its file is created), so that a test can see
// with whose rights that thread acts. The installer never sets it.
extern void (*g_userPlaceWriteProbe)();
