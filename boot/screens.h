// The start-up screens: the banner with its progress box, the progress
// steps, and the splash picture.
#pragma once

#include <stdint.h>

// The progress bar holds at most this many blocks (columns 1-79 of row 12).
constexpr int32_t PROGRESS_BAR_LIMIT = 79;
// A status text of this many characters or more is not shown.
constexpr uint32_t PROGRESS_TEXT_LIMIT = 76;

// Draws the start-up screen on the cleared console: title block, the box
// with the bar's first two blocks, the first status line and the credit line.
void boot_banner();
// Adds `blocks` blocks to the bar and shows `text` and "..." as the status
// line. A step that would take the bar beyond 79 blocks, or whose text is
// too long, is dropped whole.
void progress_step(const char* text, int32_t blocks);
// Shows "splash.bmp" for five seconds, then returns to text mode. Without
// the picture the start-up screen stays for those five seconds.
void boot_splash();
// Blocks in the bar so far.
int32_t progress_blocks();
