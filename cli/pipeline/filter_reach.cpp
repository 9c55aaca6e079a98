// Rows the filter reaches (see filter_reach.h).
#include "cli/pipeline/filter_reach.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "host/params.h"

namespace {

// Rows of the scaler's vertical filter around a converted row, with room to spare.
constexpr int kScalerMargin = 8;
// Entries past this many are not looked at one by one: the band is then the whole frame.
constexpr size_t kMaxEntriesLookedAt = 1 << 16;

// Reads a decimal number after white space and comments; -1 when there is none.
int64_t HeaderNumber(FILE *f) {
    int c = std::fgetc(f);
    for (;;) {
        while (c != EOF && std::isspace(c)) c = std::fgetc(f);
        if (c != '#') break;
        while (c != EOF && c != '\n') c = std::fgetc(f);
    }
    if (c == EOF || !std::isdigit(c)) return -1;
    int64_t value = 0;
    for (; c != EOF && std::isdigit(c); c = std::fgetc(f)) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return -1;
    }
    return value;
}

}  // namespace

RowBand ReachedRows(int64_t top, int64_t bottom, const FilterSettings &s, int frameHeight, int align) {
    const int32_t radius = ClampParameter(PARAM_RADIUS, s.radius);
    const int32_t depth = ClampParameter(PARAM_DEPTH, s.depth);
    const double scaleY = AspectScaleY(ClampParameter(PARAM_PIXEL_ASPECT, s.pixelAspect));
    int64_t reachY = (int64_t)std::ceil(depth * scaleY * 0.1) + 1;
    if (s.interlaced && reachY % 2) ++reachY;
    const int64_t margin = radius + reachY + kScalerMargin;
    int64_t begin = std::max<int64_t>(0, top - margin);
    int64_t end = std::min<int64_t>(frameHeight, bottom + margin);
    align = std::max(1, align);
    begin -= begin % align;
    end = std::min<int64_t>(frameHeight, (end + align - 1) / align * align);
    RowBand band;
    if (begin < end) {
        band.begin = (int)begin;
        band.end = (int)end;
    }
    return band;
}

int64_t GraymapHeight(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    int64_t height = -1;
    if (std::fgetc(f) == 'P' && std::fgetc(f) == '5') {
        const int64_t width = HeaderNumber(f);
        height = HeaderNumber(f);
        if (width <= 0 || HeaderNumber(f) <= 0) height = -1;
    }
    std::fclose(f);
    return height > 0 ? height : -1;
}

FilterReach::FilterReach(const std::vector<SubtitlePlace> &places, const std::string &indexPath,
                         const FilterSettings &settings, int frameHeight, int align)
    : frameHeight_(frameHeight) {
    const size_t slash = indexPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : indexPath.substr(0, slash);
    const bool lookAtEach = places.size() <= kMaxEntriesLookedAt;
    std::vector<Span> spans;
    for (const SubtitlePlace &p : places) {
        if (p.first > p.last) continue;
        const int64_t height = lookAtEach ? GraymapHeight(folder + "/image_" + std::to_string(p.position) + ".pgm") : -1;
        RowBand band{0, frameHeight};
        if (height > 0) band = ReachedRows(p.top, p.top + height, settings, frameHeight, align);
        if (band.begin >= band.end) band = RowBand{0, frameHeight};
        spans.push_back(Span{p.first, p.last, band});
    }
    // Overlapping entries merge into one span with the union of their bands: a superset of the
    // rows of whichever entry the filter picks.
    std::sort(spans.begin(), spans.end(), [](const Span &a, const Span &b) { return a.first < b.first; });
    for (const Span &s : spans) {
        if (!spans_.empty() && s.first <= spans_.back().last) {
            Span &m = spans_.back();
            m.last = std::max(m.last, s.last);
            if (s.band.begin < s.band.end) {
                if (m.band.begin >= m.band.end) m.band = s.band;
                m.band.begin = std::min(m.band.begin, s.band.begin);
                m.band.end = std::max(m.band.end, s.band.end);
            }
        } else {
            spans_.push_back(s);
        }
    }
}

RowBand FilterReach::BandFor(int64_t frame) const {
    auto after = std::upper_bound(spans_.begin(), spans_.end(), frame, [](int64_t f, const Span &s) { return f < s.first; });
    if (after == spans_.begin() || frame > std::prev(after)->last) return RowBand{0, frameHeight_};
    return std::prev(after)->band;
}
