// The release image has no test checks: the test build links a strong
// definition of its own that replaces this one.
#include "boot/test_hook.h"

[[gnu::weak]] void startup_test_hook(StartupStage /*stage*/) {}
