// Background memory steps (see propagate.h).
#include "temporal/propagate.h"

#include <algorithm>
#include <cmath>

namespace temporal {

namespace {

// ConsistentMotion with the two fields' samplers made once per plane; inlined into the step's loop.
[[gnu::always_inline]] inline bool Consistent(const FlowSampler &toward, const FlowSampler &back, const StructureField *structure,
                                              float x, float y, const StepSettings &s, float &dx, float &dy) {
    toward.At(x, y, dx, dy);
    float bx, by;
    back.At(x + dx, y + dy, bx, by);
    const float ex = dx + bx, ey = dy + by;
    const float allowed = s.tolerance + s.slope * std::sqrt(dx * dx + dy * dy);
    if (ex * ex + ey * ey <= allowed * allowed) return true;
    if (!structure || s.alongLimit <= 0.0f) return false;
    float u, v, coherence;
    StructureAt(*structure, x + dx, y + dy, u, v, coherence);
    const float length2 = ex * ex + ey * ey;
    const float across2 = std::max(0.0f, 0.5f * (length2 + u * (ex * ex - ey * ey) + 2.0f * v * ex * ey));
    const float along2 = std::max(0.0f, length2 - across2);
    if (along2 > s.alongLimit * s.alongLimit) return false;
    const float kept = 1.0f - coherence;
    return across2 + along2 * kept * kept <= allowed * allowed;
}

}  // namespace

bool ConsistentMotion(const FlowField &toward, const FlowField &back, const StructureField *structure, float x, float y,
                      const StepSettings &s, float &dx, float &dy) {
    return Consistent(FlowSampler(toward), FlowSampler(back), structure, x, y, s, dx, dy);
}

float MotionNoise(const FlowField &toward, const FlowField &back, std::vector<float> &scratch) {
    scratch.clear();
    const float half = (float)(toward.scale - 1) * 0.5f;
    const FlowSampler backAt(back);
    for (int j = 0; j < toward.height; j += 2) {
        for (int i = 0; i < toward.width; i += 2) {
            const float *d = &toward.xy[((size_t)j * toward.width + i) * 2];
            const float lx = (float)(i * toward.scale) + half, ly = (float)(toward.top + j * toward.scale) + half;
            float bx, by;
            backAt.At(lx + d[0], ly + d[1], bx, by);
            scratch.push_back(std::sqrt((d[0] + bx) * (d[0] + bx) + (d[1] + by) * (d[1] + by)));
        }
    }
    if (scratch.empty()) return 0.0f;
    auto mid = scratch.begin() + (std::ptrdiff_t)(scratch.size() / 2);
    std::nth_element(scratch.begin(), mid, scratch.end());
    return *mid;
}

namespace {

// A bilinear fetch of seen samples only: false outside the plane or where a sample it needs lies in
// the hole, halo or ring of `hole`.
bool FetchSeen(const PlaneRef &p, const PlaneHole *h, float px, float py, float &value) {
    if (!(px >= 0.0f && py >= 0.0f && px <= (float)(p.width - 1) && py <= (float)(p.height - 1))) return false;
    const int x0 = (int)px, y0 = (int)py;
    const float ax = px - (float)x0, ay = py - (float)y0;
    const float w[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
    float sum = 0.0f;
    for (int k = 0; k < 4; ++k) {
        if (w[k] == 0.0f) continue;
        const int x = x0 + (k & 1), y = y0 + (k >> 1);
        if (h && h->KindAt(x, y) != kVisible) return false;
        sum += w[k] * SampleAt(p, x, y);
    }
    value = sum;
    return true;
}

// The sighting `first` at plane position (px, py) of the neighbour, blended over its chain: the
// values of the chain's pictures along the motion that agree with the median of all of them.
float BlendChain(const SourceChain &c, int plane, int maxValue, float px, float py, float first) {
    float v[kMaxLinks + 1];
    int m = 0;
    v[m++] = first;
    const PlaneGeometry &g = c.links[0].picture->geometry[plane];
    const float sx = (float)g.ScaleX(), sy = (float)g.ScaleY(), invX = 1.0f / sx, invY = 1.0f / sy;
    float x = px, y = py;
    for (int l = 0; l < c.count; ++l) {
        const ChainLink &link = c.links[l];
        float dx, dy;
        FlowAt(*link.toward, x * sx + g.offsetX, y * sy + g.offsetY, dx, dy);
        x += dx * invX;
        y += dy * invY;
        const PlaneHole *h = link.hole && !link.hole->Empty() ? &link.hole->planes[plane] : nullptr;
        if (!FetchSeen(link.picture->planes[plane], h, x, y, v[m])) break;
        ++m;
    }
    if (m == 1) return first;
    float sorted[kMaxLinks + 1];
    for (int i = 0; i < m; ++i) {
        int j = i;
        for (; j > 0 && sorted[j - 1] > v[i]; --j) sorted[j] = sorted[j - 1];
        sorted[j] = v[i];
    }
    const float median = m % 2 ? sorted[m / 2] : 0.5f * (sorted[m / 2 - 1] + sorted[m / 2]);
    const float tolerance = c.agree * (float)maxValue * (1.0f / 255.0f);
    float sum = 0.0f;
    int kept = 0;
    for (int i = 0; i < m; ++i) {
        if (std::fabs(v[i] - median) > tolerance) continue;
        sum += v[i];
        ++kept;
    }
    // Two that disagree (a speck in one of them) leave none: the nearer picture's stands.
    return kept ? sum / (float)kept : first;
}

}  // namespace

namespace {

// FetchMemory, inlined into the step's loop.
[[gnu::always_inline]] inline bool Fetch(const Neighbour &n, int plane, float px, float py, float &value, int &age) {
    const PlaneRef &p = n.picture->planes[plane];
    if (px < 0.0f || py < 0.0f || px > (float)(p.width - 1) || py > (float)(p.height - 1)) return false;
    const int x0 = (int)px, y0 = (int)py;
    const float ax = px - (float)x0, ay = py - (float)y0;
    const float w[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
    const PlaneHole *h = n.hole && !n.hole->Empty() ? &n.hole->planes[plane] : nullptr;
    float sum = 0.0f;
    bool seen = true;
    age = 0;
    for (int k = 0; k < 4; ++k) {
        // Exact positions use only the samples they land on, so a whole-pixel motion copies.
        if (w[k] == 0.0f) continue;
        const int x = x0 + (k & 1), y = y0 + (k >> 1);
        if (h && h->KindAt(x, y) != kVisible) {
            const size_t i = (size_t)(y - h->rows.top) * h->width + x;
            const uint8_t a = n.memory[plane].age[i];
            if (a == kNoMemory) return false;
            age = std::max(age, (int)a);
            sum += w[k] * n.memory[plane].value[i];
            seen = false;
        } else {
            sum += w[k] * SampleAt(p, x, y);
        }
    }
    value = sum;
    if (seen && n.chain && n.chain->reach > 0) {
        if (n.chain->count > 0) value = BlendChain(*n.chain, plane, n.picture->maxValue, px, py, sum);
        age = n.chain->reach;
    }
    return true;
}

}  // namespace

bool FetchMemory(const Neighbour &n, int plane, float px, float py, float &value, int &age) {
    return Fetch(n, plane, px, py, value, age);
}

float PictureNoise(const BandImage &a, const BandImage &b, const FlowField &aToB, const Hole *aHole, int scale,
                   std::vector<float> &scratch) {
    scratch.clear();
    const PlaneHole *h = aHole && !aHole->Empty() ? &aHole->planes[0] : nullptr;
    const float half = (float)(scale - 1) * 0.5f, inv = 1.0f / (float)scale;
    const FlowSampler flowAt(aToB);
    for (int j = 2; j < a.height; j += 4) {
        const float ly = (float)(aToB.top + j * scale) + half;
        for (int i = 2; i < a.width; i += 4) {
            const float lx = (float)(i * scale) + half;
            if (h && h->KindAt(i * scale, aToB.top + j * scale) != kVisible) continue;
            float dx, dy;
            flowAt.At(lx, ly, dx, dy);
            const float bx = (lx + dx - half) * inv, by = (ly + dy - (float)aToB.top - half) * inv;
            if (!(bx >= 0.0f && by >= 0.0f && bx <= (float)(b.width - 1) && by <= (float)(b.height - 1))) continue;
            const int x0 = std::min((int)bx, b.width - 2 < 0 ? 0 : b.width - 2), y0 = std::min((int)by, b.height - 2 < 0 ? 0 : b.height - 2);
            const int x1 = std::min(x0 + 1, b.width - 1), y1 = std::min(y0 + 1, b.height - 1);
            const float ax = bx - (float)x0, ay = by - (float)y0;
            const uint8_t *r0 = &b.pixels[(size_t)y0 * b.width], *r1 = &b.pixels[(size_t)y1 * b.width];
            const float v = (1 - ay) * ((1 - ax) * r0[x0] + ax * r0[x1]) + ay * ((1 - ax) * r1[x0] + ax * r1[x1]);
            scratch.push_back(std::fabs((float)a.pixels[(size_t)j * a.width + i] - v));
        }
    }
    if (scratch.empty()) return 0.0f;
    auto mid = scratch.begin() + (std::ptrdiff_t)(scratch.size() / 2);
    std::nth_element(scratch.begin(), mid, scratch.end());
    return *mid / 0.954f;
}

namespace {

void StepPlane(const Neighbour &from, const FlowField *toward, const PlaneHole &ph, const PlaneGeometry &g, int plane,
               const StepSettings &s, PlaneMemory &memory, PlaneCandidates &out) {
    const size_t n = ph.fill.size(), candidates = (size_t)ph.ringEnd;
    out.value.resize(candidates);
    out.age.assign(candidates, kNoMemory);
    memory.value.resize(ph.kind.size());
    memory.age.assign(ph.kind.size(), kNoMemory);
    if (!from.picture || !toward || !from.back) return;
    const float invX = 1.0f / (float)g.ScaleX(), invY = 1.0f / (float)g.ScaleY();
    const FlowSampler towardAt(*toward), backAt(*from.back);
    for (size_t k = 0; k < n; ++k) {
        const int32_t i = ph.fill[k];
        const int x = i % ph.width, y = i / ph.width + ph.rows.top;
        const float lx = (float)x * (float)g.ScaleX() + g.offsetX, ly = (float)y * (float)g.ScaleY() + g.offsetY;
        float dx, dy, v;
        int age;
        if (!Consistent(towardAt, backAt, from.structure, lx, ly, s, dx, dy)) continue;
        if (!Fetch(from, plane, (float)x + dx * invX, (float)y + dy * invY, v, age)) continue;
        if (age + 1 > s.window) continue;
        if (k < candidates) {
            out.value[k] = v;
            out.age[k] = (uint8_t)(age + 1);
        }
        memory.value[(size_t)i] = v;
        memory.age[(size_t)i] = (uint8_t)(age + 1);
    }
}

}  // namespace

void PropagateStep(const Neighbour &from, const FlowField *toward, const Hole &hole, const StepSettings &settings,
                   PlaneMemory *memory, PlaneCandidates *candidates) {
    for (int p = 0; p < hole.planeCount; ++p) {
        StepPlane(from, toward, hole.planes[p], from.picture ? from.picture->geometry[p] : PlaneGeometry{}, p, settings,
                  memory[p], candidates[p]);
    }
}

}  // namespace temporal
