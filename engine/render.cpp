// Output frame production. Placeholder until rendering lands: copies the source.
#include "engine/render.h"

#include <cstring>

#include "host/instance.h"

void CopySourceToOutput(const FilterActivation *fa) {
    std::memcpy(fa->dst->data, fa->src->data, (size_t)fa->dst->size);
}
bool MaskMatchesFrame(const FilterActivation *, const MaskImage *) { return false; }
void CopyMaskToOutput(const FilterActivation *, const MaskImage *) {}
void RepaintRegions(const FilterActivation *, const RemovalInstance *) {}
int RenderFrame(const FilterActivation *fa, const FilterFunctions *) {
    RememberActivation(fa);
    CopySourceToOutput(fa);
    return 0;
}
