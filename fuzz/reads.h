// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArrayView>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// What both fuzz targets take as input: the first byte seeds how the rest is
// cut into reads; the rest is the byte stream as it comes off the connection.
// Calls `take` with each read in turn.
template <typename Take> void forEachRead(const std::uint8_t* data, std::size_t size, Take take)
{
    if (size == 0)
        return;
    std::uint32_t state = data[0] | 1u;
    const auto* bytes = reinterpret_cast<const char*>(data + 1);
    auto left = qsizetype(size - 1);
    while (left > 0) {
        state = state * 1664525u + 1013904223u;
        const qsizetype length = std::min<qsizetype>(left, 1 + (state >> 24) % 64);
        take(QByteArrayView(bytes, length));
        bytes += length;
        left -= length;
    }
}

inline void require(bool condition)
{
    if (!condition)
        std::abort();
}
