// Points in the start-up sequence where the test build of the image runs its
// checks. The release image's hook does nothing.
#pragma once

enum StartupStage {
    STARTUP_HARDWARE,  // descriptor tables and exception handlers installed
    STARTUP_DRIVERS,   // drivers up, interrupts on
    STARTUP_WELCOME,   // welcome screen drawn
};

void startup_test_hook(StartupStage stage);
