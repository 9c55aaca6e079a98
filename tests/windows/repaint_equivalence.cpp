// The vectorised repaint against the reference loop in a Windows build, run under Wine: random
// masks, settings and frames (interlaced and pixel aspect included) go through the real region
// build, and every instruction-set level the processor offers must give the reference frame byte
// for byte. Guards the run-time dispatch and the kernels' code generation on the Windows
// toolchain (calling convention, stack alignment of vector spills). Exit code 0 when all match.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "engine/regions.h"
#include "engine/render.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/params.h"
#include "support/test_host.h"

namespace {

int Pick(std::mt19937 &random, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); }

// Places random strokes as the subtitle's graymap and builds its regions.
void BuildRandomSubtitle(TestHost &host, std::mt19937 &random) {
    RemovalInstance &i = host.instance;
    const int w = host.src.w, h = host.src.h;
    PrepareMaskImage(&i, &i.graymap);
    const int left = Pick(random, 0, w / 2), top = Pick(random, 0, h / 2);
    const int right = Pick(random, left + 1, w), bottom = Pick(random, top + 1, h);
    for (int n = Pick(random, 1, 10); n > 0; --n) {
        const int x = Pick(random, left, right - 1), y = Pick(random, top, bottom - 1);
        const bool across = Pick(random, 0, 1) == 0;
        for (int k = 0, length = Pick(random, 1, 16); k < length; ++k) {
            const int cx = across ? x + k : x, cy = across ? y : y + k;
            if (cx < right && cy < bottom) Cell(i.graymap, cx, h - 1 - cy) = MASK_SET;
        }
    }
    i.maskLeft = left;
    i.maskTop = top;
    i.maskRight = right;
    i.maskBottom = bottom;
    BuildRemovalRegions(&i, &host.activation);
}

}  // namespace

int main() {
    int failures = 0, repainted = 0;
    const RepaintLevel best = BestRepaintLevel();
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(seed);
        TestHost host(Pick(random, 8, 90), Pick(random, 8, 64), 4 * Pick(random, 0, 4));
        host.Init();
        RemovalInstance &i = host.instance;
        i.radius = Pick(random, 0, 4);
        i.depth = Pick(random, 10, 50);
        i.power = Pick(random, 0, 160);
        i.pixelAspect = Pick(random, -120, 120);
        i.interlaced = Pick(random, 0, 2) == 0;
        BuildRandomSubtitle(host, random);
        for (unsigned frame = 0; frame < 2; ++frame) {
            host.FillSourcePattern(seed * 7 + frame);
            std::memset(host.dstBuffer.data(), 0x5A, host.dstBuffer.size());
            CopySourceToOutput(&host.activation);
            RepaintRegionsReference(&host.activation, &i);
            const std::vector<uint8_t> reference = host.dstBuffer;
            for (int level = REPAINT_SSE2; level <= best; ++level) {
                UseRepaintLevel((RepaintLevel)level);
                const bool planned = PrepareRepaintPlan(&i);
                std::memset(host.dstBuffer.data(), 0x5A, host.dstBuffer.size());
                CopySourceToOutput(&host.activation);
                RepaintRegions(&host.activation, &i);
                if (host.dstBuffer != reference) {
                    std::printf("MISMATCH seed %u frame %u level %d\n", seed, frame, level);
                    ++failures;
                }
                repainted += planned ? 1 : 0;
            }
        }
    }
    UseRepaintLevel(best);
    std::printf("best level %d, %d planned repaints compared, %d mismatches\n", (int)best, repainted, failures);
    return failures == 0 && repainted > 0 ? 0 : 1;
}
