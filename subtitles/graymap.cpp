// The graymap loader: reads a raw PGM (P5) file and places it as MASK_SET cells in the
// instance's frame-sized graymap plane at (maskLeft, maskTop).
//
// The header is read byte by byte into a 256-byte buffer and parsed within that buffer; the
// raster bytes that land in the picture are read in row chunks, and those outside it (rows above,
// columns left and right of it) are passed over with a seek. Cost: the bytes inside the picture
// and a few seeks a row, whatever the header claims; reading stops at the picture's bottom edge.
// Nothing is allocated.
#include <algorithm>
#include <climits>
#include <cstdio>

#include "host/instance.h"
#include "platform/win32.h"
#include "subtitles/graymap.h"
#include "subtitles/subtitles.h"
#include "subtitles/text.h"

namespace {

constexpr int kHeaderCapacity = 256;
constexpr size_t kRasterChunk = 4096;

struct GraymapHeader {
    int32_t width;
    int32_t height;
};

// Skips the magic, white space and comment lines, then parses the width/height/maximum text.
// Returns GRAYMAP_OK or GRAYMAP_CORRUPT; on success the file stands at the first raster byte.
int32_t ReadHeader(FILE *file, GraymapHeader *header) {
    if (std::getc(file) != 'P' || std::getc(file) != '5') return GRAYMAP_CORRUPT;
    int c = std::getc(file);
    while (c != EOF && IsBlank(c)) c = std::getc(file);
    // Comment lines follow one another directly; a comment that never ends is a broken header,
    // not a reason to wait for a line feed forever.
    while (c == '#') {
        do {
            c = std::getc(file);
        } while (c != EOF && c != '\n');
        if (c == EOF) return GRAYMAP_CORRUPT;
        c = std::getc(file);
    }
    if (c < '0' || c > '9') return GRAYMAP_CORRUPT;
    std::ungetc(c, file);

    // Width and height on one line, the maximum value on the next: the header text ends with
    // the second line feed, which may be the buffer's last byte, so the parse below is bounded
    // by the bytes stored and never looks for a terminating zero.
    char text[kHeaderCapacity];
    int stored = 0;
    int lineFeeds = 0;
    while (lineFeeds < 2 && stored < kHeaderCapacity) {
        int ch = std::getc(file);
        if (ch == EOF) break;
        text[stored++] = (char)ch;
        if (ch == '\n') ++lineFeeds;
    }
    if (lineFeeds < 2) return GRAYMAP_CORRUPT;
    const char *end = text + stored;
    int32_t maximum = 0;  // read to check the layout; every sample is one byte whatever it says
    const char *p = ReadDecimal(text, end, &header->width);
    if (p) p = ReadDecimal(p, end, &header->height);
    if (p) p = ReadDecimal(p, end, &maximum);
    if (!p) return GRAYMAP_CORRUPT;
    // A graymap without pixels would place nothing and report success.
    if (header->width < 1 || header->height < 1) return GRAYMAP_CORRUPT;
    return GRAYMAP_OK;
}

// Passes over `count` raster bytes that land outside the picture. The last byte of the span is
// read, so that a file ending inside it fails exactly as reading every byte would. A stream that
// cannot seek (or a span past what the C library seeks) is read through, which the end of the
// file bounds.
bool SkipRaster(FILE *file, int64_t count, unsigned char *chunk) {
    while (count > 0) {
        const int64_t step = std::min<int64_t>(count, LONG_MAX);
        if (std::fseek(file, (long)(step - 1), SEEK_CUR) == 0) {
            if (std::getc(file) == EOF) return false;
        } else {
            for (int64_t done = 0; done < step;) {
                const size_t n = (size_t)std::min<int64_t>(step - done, (int64_t)kRasterChunk);
                if (std::fread(chunk, 1, n, file) != n) return false;
                done += (int64_t)n;
            }
        }
        count -= step;
    }
    return true;
}

// Reads the graymap columns [first, last) of one row into the plane row `row` from `column`.
bool ReadRasterRow(FILE *file, uint32_t *row, int64_t column, int64_t first, int64_t last, unsigned char *chunk) {
    for (int64_t c = first; c < last;) {
        const size_t n = (size_t)std::min<int64_t>(last - c, (int64_t)kRasterChunk);
        if (std::fread(chunk, 1, n, file) != n) return false;
        for (size_t k = 0; k < n; ++k) row[column + c + (int64_t)k] = chunk[k] ? MASK_SET : 0u;
        c += (int64_t)n;
    }
    return true;
}

// Places the raster row by row, reading only the cells that fall inside the plane. Positions are
// formed in 64 bits: left, top and the header's sizes may each be anywhere in the int32 range, and
// a span of dropped bytes (at most 2^31 rows of 2^31 bytes) fits too.
int32_t PlaceRaster(FILE *file, MaskImage *plane, const GraymapHeader &header, int32_t left, int32_t top) {
    const int64_t planeWidth = plane->pixels ? plane->width : 0;
    const int64_t planeHeight = plane->pixels ? plane->height : 0;
    const int64_t width = header.width;
    // The graymap's columns inside the picture: [first, last).
    const int64_t first = std::min<int64_t>(width, std::max<int64_t>(0, -(int64_t)left));
    const int64_t last = std::max<int64_t>(first, std::min<int64_t>(width, planeWidth - left));
    unsigned char chunk[kRasterChunk];
    // Rows above the picture are dropped whole; bytes to drop are gathered and passed over
    // before the next read or at the end.
    int64_t r = std::min<int64_t>(header.height, std::max<int64_t>(0, -(int64_t)top));
    int64_t dropped = r * width;
    for (; r < header.height; ++r) {
        const int64_t pictureRow = (int64_t)top + r;
        if (pictureRow >= planeHeight) break;  // the rest lies below the picture
        uint32_t *row = plane->pixels + (planeHeight - pictureRow - 1) * planeWidth;
        dropped += first;
        if (last > first) {
            if (!SkipRaster(file, dropped, chunk)) return GRAYMAP_READ_ERROR;
            if (!ReadRasterRow(file, row, left, first, last, chunk)) return GRAYMAP_READ_ERROR;
            dropped = 0;
        }
        dropped += width - last;
    }
    return SkipRaster(file, dropped, chunk) ? GRAYMAP_OK : GRAYMAP_READ_ERROR;
}

}  // namespace

int32_t FailGraymapLoad(RemovalInstance *instance, int32_t result, bool showMessages) {
    ReleaseMaskImage(&instance->graymap);
    if (showMessages) {
        const char *text = instance->graymap.path;
        const char *caption = nullptr;
        switch (result) {
            case GRAYMAP_NO_NAME:
                text = "Missing graymap file name";
                caption = "Graymap load error";
                break;
            case GRAYMAP_NOT_FOUND:
                caption = "Graymap file not found";
                break;
            case GRAYMAP_CORRUPT:
                caption = "Selected file is corrupted or it is not a graymap file";
                break;
            default:
                caption = "Error reading graymap file";
                break;
        }
        MessageBoxA(instance->dialog, text, caption, MB_OK);
    }
    return result;
}

int32_t LoadGraymap(RemovalInstance *instance, bool showMessages) {
    MaskImage *plane = &instance->graymap;
    if (plane->path[0] == '\0') return FailGraymapLoad(instance, GRAYMAP_NO_NAME, showMessages);
    FILE *file = OpenModuleFile(plane->path, "rb");
    if (!file) return FailGraymapLoad(instance, GRAYMAP_NOT_FOUND, showMessages);
    GraymapHeader header{};
    int32_t result = ReadHeader(file, &header);
    if (result == GRAYMAP_OK) result = PlaceRaster(file, plane, header, instance->maskLeft, instance->maskTop);
    std::fclose(file);
    if (result != GRAYMAP_OK) return FailGraymapLoad(instance, result, showMessages);
    // The bounds keep the header's full size, clipped or not; saturated so that no sum overflows.
    instance->maskRight = SaturatingAdd(instance->maskLeft, header.width);
    instance->maskBottom = SaturatingAdd(instance->maskTop, header.height);
    return GRAYMAP_OK;
}
