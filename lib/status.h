// Status codes. Operations that can fail for several reasons return a small
// negative number; from -6 on the numbers mean the same everywhere in the
// kernel. Codes -1 to -5 mean what the operation returning them says.
#pragma once

#include <stdint.h>

enum Status : int32_t {
    STATUS_OK = 0,
    STATUS_BAD_ARGUMENT = -1,
    STATUS_OUT_OF_MEMORY = -6,
    STATUS_NOT_ALLOWED = -7,
    STATUS_TABLE_FULL = -8,
    STATUS_INVALID_RECORD = -9,
    STATUS_INVALID_EXECUTABLE_RECORD = -10,
    STATUS_INVALID_PID = -11,
    STATUS_RELEASE_FAILED = -12,
    STATUS_MAPPING_FAILED = -17,
    STATUS_EMPTY_PATH = -18,
    STATUS_NO_FREE_SLOT = -19,
    STATUS_WRONG_KIND = -20,
    STATUS_EXECUTABLE_INVALID = -21,
    STATUS_LOAD_PENDING = -22,
    STATUS_UNKNOWN_CALL = -23,
    STATUS_NO_FOCUS = -24,
    STATUS_NAME_PRESENT = -25,
    STATUS_NAME_NOT_FOUND = -26,
};
