// 8-bit planar YUV pictures (4:2:0, 4:2:2, 4:4:4) to the host's 0x00RRGGBB words, without the
// scaler: the conversion every filtered frame of a common film takes on its way to the filter.
//
// Chroma is brought to every pixel with the triangle filter of a centred chroma siting: in each
// subsampled direction a pixel takes 3/4 of the chroma sample it lies in and 1/4 of the next one
// on its side (the edge sample stands in past the picture's edge). This is the siting the scaler
// uses both ways, so a pixel's round trip through the host and back keeps its chroma in place.
// The matrix then maps luma and the blended chroma (kept in sixteenths of a code, unrounded) to
// RGB in fixed point with 20 fraction bits: the one rounding is the last one, and the fixed-point
// coefficients move a channel by less than 0.01 of a code before it is rounded. Values past the
// range clamp to 0..255.
//
// Cost: per pixel about twenty integer operations in straight loops over a row; per row one blend
// of two chroma rows. Nothing is allocated: the caller hands over YuvToHostScratch() ints.
// In a profile of the benchmark film it takes about a third of the scaler's exact conversion's
// time (the scaler's accurate-rounding path has no vector code).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/colour/yuv_planes.h"

// The matrix in fixed point, for luma minus its offset and chroma in sixteenths of a code minus
// 16 x 128. Made by MakeYuvToHostMatrix.
struct YuvToHostMatrix {
    int32_t luma;       // 2^20 x RGB codes per luma code
    int32_t redV;       // 2^16 x RGB codes per chroma code, as the blended chroma is 16 x a code
    int32_t greenU;
    int32_t greenV;
    int32_t blueU;
    int32_t lumaOffset;  // 16 in tv range, 0 in pc range
};

// kr, kb: the matrix's luma weights of red and blue (BT.601: 0.299, 0.114).
YuvToHostMatrix MakeYuvToHostMatrix(double kr, double kb, bool fullRange);

// Ints of scratch that YuvToHost needs for pictures of this width and horizontal subsampling.
size_t YuvToHostScratch(int width, int chromaShiftX);

// Picture rows [rowBegin, rowEnd) to host words; picture row r starts at row0 + r * rowStride
// bytes (rowStride may be negative: the host's rows run bottom-up). A row's result does not depend
// on which other rows are converted with it.
void YuvToHost(const YuvPlanes &picture, const YuvToHostMatrix &matrix, int rowBegin, int rowEnd, uint8_t *row0,
               ptrdiff_t rowStride, int32_t *scratch);
