#pragma once

// Symbols meant for hosts carry TARNIVALE_AI_EXPORT; everything else stays hidden in the shared library.
#if defined(_WIN32)
#if defined(TARNIVALE_AI_BUILDING)
#define TARNIVALE_AI_EXPORT __declspec(dllexport)
#else
#define TARNIVALE_AI_EXPORT __declspec(dllimport)
#endif
#else
#define TARNIVALE_AI_EXPORT __attribute__((visibility("default")))
#endif
