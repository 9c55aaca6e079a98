// Registration, the filter definition, the instance's defaults and its memory lifecycle.
#include <gtest/gtest.h>

#include <cstring>

#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "support/test_host.h"

namespace {

struct FakeRegistry {
    static FilterDefinition copy;
    static FilterDefinition *removed;
    static bool fail;
    static FilterDefinition *Add(FilterModule *, FilterDefinition *definition, int size) {
        if (fail || size != (int)sizeof(FilterDefinition)) return nullptr;
        copy = *definition;
        return &copy;
    }
    static void Remove(FilterDefinition *definition) { removed = definition; }
};
FilterDefinition FakeRegistry::copy;
FilterDefinition *FakeRegistry::removed;
bool FakeRegistry::fail;

FilterFunctions MakeFunctions() {
    FilterFunctions ff{};
    ff.addFilter = FakeRegistry::Add;
    ff.removeFilter = FakeRegistry::Remove;
    return ff;
}

TEST(Registration, SuccessWritesVersionsAndDeinitRemovesTheHostsCopy) {
    FilterFunctions ff = MakeFunctions();
    FakeRegistry::fail = false;
    FilterModule module{};
    int version = -1, compatible = -1;
    ASSERT_EQ(VirtualdubFilterModuleInit2(&module, &ff, &version, &compatible), 0);
    EXPECT_EQ(version, 8);
    EXPECT_EQ(compatible, 4);
    EXPECT_STREQ(FakeRegistry::copy.name, "Vexlin Companion Subtitle Removal");
    VirtualdubFilterModuleDeinit(&module, &ff);
    // Unregistering must hand back the host's copy, not our static definition.
    EXPECT_EQ(FakeRegistry::removed, &FakeRegistry::copy);
}

// Guards against writing the version outputs when the host refused the filter.
TEST(Registration, FailingAddFilterReturnsOneAndLeavesOutputsUntouched) {
    FilterFunctions ff = MakeFunctions();
    FakeRegistry::fail = true;
    FilterModule module{};
    int version = 77, compatible = 78;
    EXPECT_EQ(VirtualdubFilterModuleInit2(&module, &ff, &version, &compatible), 1);
    EXPECT_EQ(version, 77);
    EXPECT_EQ(compatible, 78);
    FakeRegistry::fail = false;
}

TEST(Definition, CarriesNamesCallbacksAndTheConfigScriptFunction) {
    const FilterDefinition &d = g_filterDefinition;
    EXPECT_EQ(d.next, nullptr);
    EXPECT_EQ(d.prev, nullptr);
    EXPECT_EQ(d.module, nullptr);
    EXPECT_STREQ(d.name, "Vexlin Companion Subtitle Removal");
    EXPECT_STREQ(d.desc, "Removes subtitles recognized by Vexlin");
    ASSERT_NE(d.maker, nullptr);
    EXPECT_EQ(d.inst_data_size, (int)sizeof(RemovalInstance));
    EXPECT_TRUE(d.initProc && d.deinitProc && d.runProc && d.paramProc && d.configProc && d.stringProc &&
                d.startProc && d.endProc && d.fssProc);
    EXPECT_EQ(d.stringProc2, nullptr);
    EXPECT_EQ(d.serializeProc, nullptr);
    EXPECT_EQ(d.deserializeProc, nullptr);
    EXPECT_EQ(d.copyProc, nullptr);
    ASSERT_NE(d.script_obj, nullptr);
    EXPECT_EQ(d.script_obj->Lookup, nullptr);
    EXPECT_EQ(d.script_obj->obj_list, nullptr);
    const ScriptFunctionDef *f = d.script_obj->func_list;
    ASSERT_NE(f, nullptr);
    EXPECT_NE(f[0].func_ptr, nullptr);
    EXPECT_STREQ(f[0].name, "Config");
    EXPECT_STREQ(f[0].arg_list, "0isiiiii");
    EXPECT_EQ(f[1].func_ptr, nullptr);
    EXPECT_EQ(f[1].name, nullptr);
    EXPECT_EQ(f[1].arg_list, nullptr);
}

TEST(Instance, InitSetsDefaultsFromTheParameterTableAndTouchesNothingElse) {
    TestHost host;
    std::memset(&host.instance, 0, sizeof(host.instance));
    host.instance.currentSubtitle = 33;
    host.instance.maskLeft = 7;
    std::strcpy(host.instance.directory, "leftover");
    EXPECT_EQ(initProc(&host.activation, nullptr), 0);
    const RemovalInstance &i = host.instance;
    EXPECT_EQ(i.mode, MODE_ORIGINAL);
    EXPECT_EQ(i.depth, 15);
    EXPECT_EQ(i.radius, 5);
    EXPECT_EQ(i.power, 40);
    EXPECT_EQ(i.pixelAspect, 0);
    EXPECT_FALSE(i.interlaced);
    EXPECT_STREQ(i.directory, "");
    EXPECT_EQ(i.subtitles.count, 0);
    EXPECT_EQ(i.currentSubtitle, 33);
    EXPECT_EQ(i.maskLeft, 7);
    for (int id = 0; id < PARAM_COUNT; ++id) {
        const ParameterInfo &p = kParameters[id];
        EXPECT_TRUE(ParameterInRange((ParameterId)id, p.defaultValue)) << p.name;
    }
}

// Guards: two rows of the parameter table bound to one instance field, and an on/off setting
// stored as the raw integer (it must read back, and be written to the script line, as 1).
TEST(Parameters, EachRowReadsAndWritesItsOwnField) {
    TestHost host;
    host.Init();
    for (int id = 0; id < PARAM_COUNT; ++id) WriteParameter(&host.instance, (ParameterId)id, 1000 + id);
    for (int id = 0; id < PARAM_COUNT; ++id) {
        const bool onOff = kParameters[id].field.flag != nullptr;
        EXPECT_EQ(ReadParameter(&host.instance, (ParameterId)id), onOff ? 1 : 1000 + id) << kParameters[id].name;
    }
    EXPECT_TRUE(host.instance.interlaced);
    EXPECT_EQ(host.instance.radius, 1000 + PARAM_RADIUS);
    WriteParameter(&host.instance, PARAM_INTERLACED, 0);
    EXPECT_FALSE(host.instance.interlaced);
}

TEST(Instance, DeinitOnAFreshInstanceFreesNothingAndFailsNot) {
    TestHost host;
    host.Init();
    long before = LiveAllocationCount();
    deinitProc(&host.activation, nullptr);
    deinitProc(&host.activation, nullptr);
    EXPECT_EQ(LiveAllocationCount(), before);
}

// Guards against leaking any owned buffer when the host releases an instance.
TEST(Instance, DeinitReleasesEveryOwnedBuffer) {
    long before = LiveAllocationCount();
    {
        TestHost host;
        host.Init();
        RemovalInstance &i = host.instance;
        ASSERT_TRUE(PrepareMaskImage(&i, &i.workMask));
        ASSERT_TRUE(PrepareMaskImage(&i, &i.scratchMask));
        ASSERT_TRUE(PrepareMaskImage(&i, &i.graymap));
        i.subtitles.entries = static_cast<SubtitleEntry *>(AllocateZeroedArray(3, sizeof(SubtitleEntry)));
        i.subtitles.count = 3;
        ASSERT_TRUE(AllocateRegionList(&i.regions, 2));
        i.regions.items[0].pixels = static_cast<RegionPixel *>(AllocateArray(4, sizeof(RegionPixel)));
        i.regions.items[0].pixelCount = 4;
        i.regions.items[1].samples = static_cast<BorderSample *>(AllocateArray(2, sizeof(BorderSample)));
        i.regions.items[1].sampleCount = 2;
        i.weights = static_cast<float *>(AllocateArray(10, sizeof(float)));
        EXPECT_GT(LiveAllocationCount(), before);
        deinitProc(&host.activation, nullptr);
        EXPECT_EQ(LiveAllocationCount(), before);
        EXPECT_EQ(i.workMask.pixels, nullptr);
        EXPECT_EQ(i.graymap.width, 0);
        EXPECT_EQ(i.subtitles.entries, nullptr);
        EXPECT_EQ(i.regions.items, nullptr);
        EXPECT_EQ(i.regions.count, 0);
        EXPECT_EQ(i.weights, nullptr);
        EXPECT_EQ(i.depth, 15);  // settings are left as they are
    }
    EXPECT_EQ(LiveAllocationCount(), before);
}

TEST(PrepareMaskImage, ReusesTheBufferForTheSameSizeAndClearsIt) {
    TestHost host(16, 8);
    host.Init();
    MaskImage &plane = host.instance.graymap;
    ASSERT_TRUE(PrepareMaskImage(&host.instance, &plane));
    EXPECT_EQ(plane.width, 16);
    EXPECT_EQ(plane.height, 8);
    uint32_t *buffer = plane.pixels;
    for (int i = 0; i < 16 * 8; ++i) buffer[i] = 0xDEADBEEF;
    std::strcpy(plane.path, "C:\\x\\image_0.pgm");
    long allocations = AllocationCount();
    ASSERT_TRUE(PrepareMaskImage(&host.instance, &plane));
    EXPECT_EQ(plane.pixels, buffer);
    EXPECT_EQ(AllocationCount(), allocations);
    for (int i = 0; i < 16 * 8; ++i) ASSERT_EQ(plane.pixels[i], 0u);
    EXPECT_STREQ(plane.path, "");
}

TEST(PrepareMaskImage, ReallocatesForAnotherFrameSize) {
    TestHost host(16, 8);
    host.Init();
    MaskImage &plane = host.instance.workMask;
    ASSERT_TRUE(PrepareMaskImage(&host.instance, &plane));
    long live = LiveAllocationCount();
    host.ResizeFrames(40, 30);
    std::strcpy(plane.path, "old");
    ASSERT_TRUE(PrepareMaskImage(&host.instance, &plane));
    EXPECT_EQ(plane.width, 40);
    EXPECT_EQ(plane.height, 30);
    EXPECT_EQ(LiveAllocationCount(), live);  // the old buffer was freed, one new one made
    for (int i = 0; i < 40 * 30; ++i) ASSERT_EQ(plane.pixels[i], 0u);
    EXPECT_STREQ(plane.path, "");
}

// Guards the failure path: a failed allocation leaves a plane without pixels, reported as false.
TEST(PrepareMaskImage, FailedAllocationReportsFalse) {
    TestHost host(16, 8);
    host.Init();
    FailAllocationAfter(1);
    EXPECT_FALSE(PrepareMaskImage(&host.instance, &host.instance.graymap));
    FailAllocationAfter(0);
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
}

// Guards against allocating from a nonsense frame size (zero or negative width or height).
TEST(PrepareMaskImage, EmptyFrameGivesNoPlane) {
    TestHost host(16, 8);
    host.Init();
    ASSERT_TRUE(PrepareMaskImage(&host.instance, &host.instance.graymap));
    host.src.w = 0;
    EXPECT_FALSE(PrepareMaskImage(&host.instance, &host.instance.graymap));
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
    host.src.w = 16;
    host.src.h = -3;
    EXPECT_FALSE(PrepareMaskImage(&host.instance, &host.instance.graymap));
}

TEST(Lifecycle, ParamProcGivesTheDestinationTheSourceLayoutAndAsksForSwappedBuffers) {
    TestHost host(10, 4, 24);
    host.src.offset = 12;
    host.dst.pitch = 0;
    host.dst.modulo = 0;
    host.dst.offset = 0;
    EXPECT_EQ(paramProc(&host.activation, nullptr), 1);
    EXPECT_EQ(host.dst.pitch, host.src.pitch);
    EXPECT_EQ(host.dst.modulo, 24);
    EXPECT_EQ(host.dst.offset, 12);
}

TEST(Lifecycle, StartAndEndReturnZeroAndStartStoresTheActivation) {
    TestHost host;
    host.Init();
    host.instance.activation = nullptr;
    EXPECT_EQ(startProc(&host.activation, nullptr), 0);
    EXPECT_EQ(host.instance.activation, &host.activation);
    EXPECT_EQ(endProc(&host.activation, nullptr), 0);
}

TEST(RegionListRecords, AllocateAndReleaseKeepItemsNullExactlyWhenCountIsZero) {
    RegionList list{};
    EXPECT_TRUE(AllocateRegionList(&list, 0));
    EXPECT_EQ(list.items, nullptr);
    EXPECT_EQ(list.count, 0);
    EXPECT_TRUE(AllocateRegionList(&list, -4));
    EXPECT_EQ(list.count, 0);
    ASSERT_TRUE(AllocateRegionList(&list, 3));
    EXPECT_EQ(list.count, 3);
    EXPECT_FALSE(list.items[2].used);
    EXPECT_EQ(list.items[2].pixels, nullptr);
    FailAllocationAfter(1);
    EXPECT_FALSE(AllocateRegionList(&list, 5));
    FailAllocationAfter(0);
    EXPECT_EQ(list.items, nullptr);
    ReleaseRegionList(&list);
    EXPECT_EQ(list.count, 0);
}

// Guards the allocation seam itself: size overflow must fail, not wrap around.
TEST(Memory, OverflowingSizesFailAndTheSeamFailsExactlyTheNthCall) {
    EXPECT_EQ(AllocateArray(SIZE_MAX / 2, 4), nullptr);
    FailAllocationAfter(2);
    void *first = AllocateArray(1, 1);
    void *second = AllocateArray(1, 1);
    void *third = AllocateArray(1, 1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    FreeMemory(first);
    FreeMemory(third);
    FailAllocationAfter(0);
}

TEST(Parameters, AspectScalesDoubleEveryThirtyStepsOnOneAxisOnly) {
    EXPECT_EQ(AspectScaleX(0), 1.0);
    EXPECT_EQ(AspectScaleY(0), 1.0);
    EXPECT_EQ(AspectScaleX(-30), 2.0);
    EXPECT_EQ(AspectScaleY(-30), 1.0);
    EXPECT_EQ(AspectScaleY(30), 2.0);
    EXPECT_EQ(AspectScaleX(30), 1.0);
    EXPECT_EQ(AspectScaleX(-120), 16.0);
    EXPECT_EQ(ClampParameter(PARAM_DEPTH, 9), 10);
    EXPECT_EQ(ClampParameter(PARAM_RADIUS, 11), 10);
    EXPECT_EQ(ClampParameter(PARAM_PIXEL_ASPECT, -500), -120);
}

}  // namespace
