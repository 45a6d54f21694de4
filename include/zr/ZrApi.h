#pragma once
// Symbols that cross a shared-library boundary. Everything else is hidden.
#define ZR_API __attribute__((visibility("default")))
