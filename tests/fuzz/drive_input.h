// Drives one navigator through arbitrary bytes taken as a video file: open, seek, a few
// steps both ways, the preview and a complete prescan, then teardown. Shared by the
// libFuzzer target and the regression test over saved inputs.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns after a clean run or a clean failure; aborts with a line on stderr only when
// the navigator breaks a promise that the command-line driver relies on.
void drive_input(const uint8_t* data, size_t size);
