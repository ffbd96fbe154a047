#pragma once

// For tests: forgets what the progress reports last asked the window to show, and any picture asked for, as at process
// start.
void ForgetShownProgress();
