#pragma once

// For tests: forgets what the progress reports last asked the window to show, as at process start.
void ForgetShownProgress();
