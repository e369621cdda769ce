#pragma once

// The built-in task kinds the command line offers: the one list its help and its checks are made from.

namespace Tarnivale::Cli {

struct TaskKindEntry {
    const char* name;
    const char* summary;
};

inline constexpr TaskKindEntry TaskKinds[] = {
    {"dynamic-world", "nine Sentinel-2 bands to land-cover classes (needs --validity-mask)"},
    {"hotosm-buildings", "building footprints from RGB (--threshold)"},
    {"geoai-usa-buildings", "building footprints from byte RGB with Mask R-CNN (--threshold)"},
    {"prithvi-flood", "surface water and flood from Sentinel-2"},
    {"prue-fields", "agricultural field interiors from bi-temporal RGBN"},
    {"sen2sr-super-resolution", "four-band Sentinel-2 RGBN enlarged 4x with SEN2SRLite"},
    {"sam3-text", "SAM3 objects matching a text prompt, as a draft (--text)"},
    {"sam3-tracker", "SAM3 object selected by clicks, as a draft (--point, --box)"},
};

}  // namespace Tarnivale::Cli
