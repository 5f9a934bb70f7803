// The system's name, version and credit, as the screens show them.
#pragma once

constexpr const char* KVAL_NAME = "Kestrel Vale (KVAL)";
constexpr const char* KVAL_VERSION = "0.0.7 Alpha - 3";
constexpr const char* KVAL_CREDIT = "The Kestrel Vale developers";
constexpr const char* KVAL_CONTACT = "kval-developers@example.org";
constexpr const char* KVAL_YEAR = "2026";
