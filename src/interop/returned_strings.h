#pragma once

// Strings handed to the host: malloc'd copies of exactly length + 1 units, released by the one free
// operation behind TarnivaleAI_FreeString and TarnivaleAI_FreeTaskString. When not even an empty copy can
// be allocated, the error functions hand out a static empty string, which the free operation leaves alone.

#include <tarnivale/ai/interop.h>

namespace Tarnivale::AI::Interop {

TarnivaleAI_Char* emptyWideString() noexcept;
char* emptyUtf8String() noexcept;
/// Frees a returned string; null and the static empty strings are ignored.
void freeLibraryString(void* text) noexcept;

}  // namespace Tarnivale::AI::Interop
