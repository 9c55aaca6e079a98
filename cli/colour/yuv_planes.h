// Where an 8-bit planar YUV picture's samples lie: the plain planes our own conversions between
// the film's pictures and the host's words work on (yuv_to_host.h, host_to_yuv.h).
#pragma once

#include <cstddef>
#include <cstdint>

struct YuvPlanes {
    uint8_t *planes[3];    // Y, U (Cb), V (Cr)
    ptrdiff_t strides[3];  // bytes from one row of a plane to the next
    int width, height;
    int chromaShiftX, chromaShiftY;  // 0 or 1 each
};
