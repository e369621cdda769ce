#pragma once

#include <QByteArray>

#include <cstddef>

namespace Tarnivale::AI {

/// A zero-filled buffer for full-raster planes. Before the first touch its pages are offered to the kernel
/// as transparent huge pages: faulting in hundreds of megabytes 2 MiB at a time instead of 4 KiB at a time
/// removes most of the cost of a fresh plane.
QByteArray zeroedPlaneBuffer(qsizetype bytes);

/// Asks for transparent huge pages over the 2 MiB-aligned part of [data, data + bytes); a hint only.
void adviseHugePages(void* data, std::size_t bytes) noexcept;

}  // namespace Tarnivale::AI
