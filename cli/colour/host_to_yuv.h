// The host's 0x00RRGGBB words back to 8-bit planar YUV (4:2:0, 4:2:2, 4:4:4), block by block:
// the way the filter's changed pixels come back into the film without the scaler.
//
// A block is one chroma sample's pixels (2 x 2, 2 x 1 or 1 x 1; fewer at an odd edge). Each
// luma sample is the matrix applied to its pixel; the block's chroma is the matrix applied to the
// mean of its pixels, which is centred on the block as the chroma siting of the other direction
// (yuv_to_host.h) expects: a flat or linear picture comes back as it went. Fixed point with 16
// fraction bits (18 for a sum of four pixels), one rounding per sample, clamped to 0..255.
//
// Cost: per pixel of a marked block about ten integer operations; blocks that are not marked are
// not read. Nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/colour/yuv_planes.h"

struct HostToYuvMatrix {
    int32_t lumaRed, lumaGreen, lumaBlue;  // 2^16 x luma codes per RGB code
    int32_t uRed, uGreen, uBlue;           // 2^16 x chroma codes per RGB code
    int32_t vRed, vGreen, vBlue;
    int32_t lumaOffset;                    // 16 in tv range, 0 in pc range
};

// kr, kb: the matrix's luma weights of red and blue (BT.601: 0.299, 0.114).
HostToYuvMatrix MakeHostToYuvMatrix(double kr, double kb, bool fullRange);

// Converts the blocks whose flag is set in block rows [blockRowBegin, blockRowEnd); flags hold
// one byte per block, `blocksX` to a row, from block row 0. Picture row r of the host's words
// starts at row0 + r * rowStride bytes.
void HostBlocksToYuv(const YuvPlanes &target, const HostToYuvMatrix &matrix, const uint8_t *flags, int blocksX,
                     int blockRowBegin, int blockRowEnd, const uint8_t *row0, ptrdiff_t rowStride);
