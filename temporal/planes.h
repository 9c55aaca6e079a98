// Plain planes for the temporal fill: a view of one plane of a decoded picture in its own sample
// type (8-bit, or 9 to 16 bits in 16-bit words), a picture as up to four such planes with their
// subsampling and chroma siting, and a band of picture rows that the fill works in. Nothing here
// allocates or knows of FFmpeg; the host fills these records from its frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace temporal {

struct PlaneRef {
    uint8_t *data = nullptr;  // top row; the fill writes only samples of the hole
    ptrdiff_t stride = 0;     // bytes from one row to the next
    int width = 0;
    int height = 0;
    int bytes = 1;  // 1: 8-bit samples; 2: 16-bit words holding 9 to 16 bits
};

inline float SampleAt(const PlaneRef &p, int x, int y) {
    const uint8_t *row = p.data + (ptrdiff_t)y * p.stride;
    return p.bytes == 1 ? (float)row[x] : (float)reinterpret_cast<const uint16_t *>(row)[x];
}

// Rounds to the nearest sample value and keeps it within the depth's codes.
inline void StoreSample(const PlaneRef &p, int x, int y, float v, int maxValue) {
    int code = (int)(v + 0.5f);
    if (v < 0.0f) code = 0;
    if (code > maxValue) code = maxValue;
    uint8_t *row = p.data + (ptrdiff_t)y * p.stride;
    if (p.bytes == 1) row[x] = (uint8_t)code;
    else reinterpret_cast<uint16_t *>(row)[x] = (uint16_t)code;
}

// Where a plane's samples sit on the luma grid: sample (x, y) of the plane is at luma position
// (x * scaleX + offsetX, y * scaleY + offsetY). Luma and RGB planes have scale 1 and offset 0;
// 4:2:0 chroma sited left (MPEG-2, H.264's default) has scale 2, offsets 0 and 0.5.
struct PlaneGeometry {
    int log2X = 0;
    int log2Y = 0;
    float offsetX = 0.0f;
    float offsetY = 0.0f;
    int ScaleX() const { return 1 << log2X; }
    int ScaleY() const { return 1 << log2Y; }
};

constexpr int kMaxPlanes = 4;

struct PictureRef {
    PlaneRef planes[kMaxPlanes];
    PlaneGeometry geometry[kMaxPlanes];
    int planeCount = 0;
    int maxValue = 255;  // the largest code of the depth: 255, 1023, 4095 or 65535
    int lumaPlane = 0;   // the plane the motion is measured on (Y, or G of planar RGB)
};

// Picture rows [top, bottom) of the luma grid, whole width.
struct Band {
    int top = 0;
    int bottom = 0;
    int Rows() const { return bottom - top; }
};

// The band's rows on a plane whose rows are subsampled by 2^log2Y, widened to whole samples.
inline Band PlaneBand(const Band &b, int log2Y, int planeHeight) {
    Band p{b.top >> log2Y, (b.bottom + (1 << log2Y) - 1) >> log2Y};
    if (p.bottom > planeHeight) p.bottom = planeHeight;
    return p;
}

}  // namespace temporal
