#include "interop/returned_strings.h"

#include <cstdlib>

namespace Tarnivale::AI::Interop {

namespace {
TarnivaleAI_Char g_emptyWide[1] = {0};
char g_emptyUtf8[1] = {'\0'};
}  // namespace

TarnivaleAI_Char* emptyWideString() noexcept {
    g_emptyWide[0] = 0;  // a host may have written into the one it was given
    return g_emptyWide;
}

char* emptyUtf8String() noexcept {
    g_emptyUtf8[0] = '\0';
    return g_emptyUtf8;
}

void freeLibraryString(void* text) noexcept {
    if (text != g_emptyWide && text != g_emptyUtf8) {
        std::free(text);
    }
}

}  // namespace Tarnivale::AI::Interop
