// The configuration dialog driven through the headless dialog layer: opening state, labels,
// sliders, buttons, endings, and the template against the resource script.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "platform/linux/dialog_driver.h"
#include "platform/linux/shim.h"
#include "support/test_host.h"
#include "ui/dialog.h"
#include "ui/resource.h"

// Every call of the dialog into frame selection passes here (the test links with --wrap), so the
// calls are counted and the instance seen at each call is recorded, then the real one runs.
extern "C" bool __real__Z22SelectSubtitleForFrameP15RemovalInstance(RemovalInstance *instance);

namespace {

std::vector<std::string> *g_events = nullptr;  // "select" / "redo" / "toggle" ..., in call order
bool g_pendingAtSelect = false;

}  // namespace

extern "C" bool __wrap__Z22SelectSubtitleForFrameP15RemovalInstance(RemovalInstance *instance) {
    if (g_events) g_events->push_back("select");
    g_pendingAtSelect = instance->rebuildPending;
    return __real__Z22SelectSubtitleForFrameP15RemovalInstance(instance);
}

namespace {

struct RecordingPreview : IFilterPreview {
    std::vector<std::string> *events = nullptr;
    FilterPreviewButtonCallback callback = nullptr;
    void *callbackData = nullptr;
    HWND button = nullptr;
    HWND toggleParent = nullptr;
    void SetButtonCallback(FilterPreviewButtonCallback c, void *data) override {
        events->push_back("setButtonCallback");
        callback = c;
        callbackData = data;
    }
    void SetSampleCallback(FilterPreviewSampleCallback, void *) override { events->push_back("unexpected"); }
    bool isPreviewEnabled() override { return true; }
    void Toggle(HWND parent) override {
        events->push_back("toggle");
        toggleParent = parent;
    }
    void Display(HWND, bool) override { events->push_back("unexpected"); }
    void RedoFrame() override { events->push_back("redo"); }
    void RedoSystem() override { events->push_back("unexpected"); }
    void UndoSystem() override { events->push_back("unexpected"); }
    void InitButton(HWND b) override {
        events->push_back("initButton");
        button = b;
    }
    void Close() override { events->push_back("unexpected"); }
    bool SampleCurrentFrame() override { return false; }
    VDLong SampleFrames() override { return 0; }
};

HWND const kOwner = reinterpret_cast<HWND>(0x5150);

// One instance with a preview, opened through configProc; the driver is the test body.
class DialogTest : public ::testing::Test {
protected:
    TestHost host;
    RecordingPreview preview;
    FilterModule module{};
    FilterDefinition definition = g_filterDefinition;
    std::vector<std::string> events;
    std::function<void(HWND)> body;
    HWND dialog = nullptr;

    void SetUp() override {
        g_events = &events;
        preview.events = &events;
        module.hInstModule = reinterpret_cast<HMODULE>(&module);
        definition.module = &module;
        host.activation.filter = &definition;
        host.activation.ifp = &preview;
        host.Init();
    }
    void TearDown() override {
        SetDialogDriver(nullptr, nullptr);
        SetOpenFileHandler(nullptr, nullptr);
        g_events = nullptr;
    }

    static void Drive(void *context, HWND window) {
        DialogTest *self = static_cast<DialogTest *>(context);
        self->dialog = window;
        self->events.clear();  // the opening's calls are checked separately
        if (self->body) self->body(window);
    }
    // Opens the dialog, runs `drive` as the user, and returns configProc's result.
    int Run(std::function<void(HWND)> drive) {
        body = std::move(drive);
        SetDialogDriver(Drive, this);
        return configProc(&host.activation, nullptr, kOwner);
    }
    void LoadSubtitles(int count) {
        ReleaseSubtitleList(&host.instance.subtitles);
        host.instance.subtitles.entries =
            static_cast<SubtitleEntry *>(AllocateZeroedArray((size_t)count, sizeof(SubtitleEntry)));
        ASSERT_NE(host.instance.subtitles.entries, nullptr);
        for (int i = 0; i < count; ++i) host.instance.subtitles.entries[i] = {1000 + 10 * i, 1005 + 10 * i, 0, 0};
        host.instance.subtitles.count = count;
    }
    HeadlessControlState State(int id) { return DriverControlState(dialog, id); }
    std::string Text(int id) { return State(id).text; }
    long Count(const char *event) {
        long n = 0;
        for (const auto &e : events) n += e == event;
        return n;
    }
};

// ---- Opening ----------------------------------------------------------------------------------

// Guards: Mask/Final left enabled without subtitles, or left disabled with them.
TEST_F(DialogTest, ModeButtonsEnabledOnlyWithSubtitles) {
    for (int subtitles : {0, 1}) {
        if (subtitles) LoadSubtitles(1);
        ASSERT_EQ(Run([&](HWND) {
                      EXPECT_TRUE(State(IDC_MODE_ORIGINAL).enabled);
                      EXPECT_EQ(State(IDC_MODE_MASK).enabled, subtitles > 0);
                      EXPECT_EQ(State(IDC_MODE_FINAL).enabled, subtitles > 0);
                      DriverPressEscape(dialog);
                  }),
                  1);
    }
}

// Guards: the opening checking the wrong button, losing a saved mode, or leaving a check on a
// disabled button; and a mode outside the three being rewritten behind the user's back.
TEST_F(DialogTest, OpeningChecksTheButtonOfTheMode) {
    struct Case {
        int32_t mode;
        int subtitles;
        int checked;  // 0: none
        int32_t modeAfter;
    };
    const Case cases[] = {
        {0, 1, IDC_MODE_ORIGINAL, 0}, {1, 1, IDC_MODE_MASK, 1},      {2, 1, IDC_MODE_FINAL, 2},
        {0, 0, IDC_MODE_ORIGINAL, 0}, {1, 0, IDC_MODE_ORIGINAL, 0},  {2, 0, IDC_MODE_ORIGINAL, 0},
        {7, 1, 0, 7},                 {-1, 0, 0, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " subtitles " << c.subtitles);
        LoadSubtitles(c.subtitles);
        host.instance.mode = c.mode;
        Run([&](HWND) {
            for (int id : {IDC_MODE_ORIGINAL, IDC_MODE_MASK, IDC_MODE_FINAL})
                EXPECT_EQ(State(id).check, id == c.checked ? (UINT)BST_CHECKED : (UINT)BST_UNCHECKED) << id;
            EXPECT_EQ(host.instance.mode, c.modeAfter);
            DriverPressEscape(dialog);
        });
        EXPECT_EQ(host.instance.mode, c.modeAfter);
    }
}

// Guards: the Interlaced box not following the field, and the opening asking the preview for a
// frame or refreshing the instance although the trackbars paint (with unchanged positions).
TEST_F(DialogTest, OpeningSetsBoxAndPreviewButOrdersNoFrame) {
    host.instance.previewShown = true;
    host.instance.rebuildPending = false;
    std::vector<std::string> opening;
    for (bool interlaced : {true, false}) {
        host.instance.interlaced = interlaced;
        events.clear();
        Run([&](HWND window) {
            EXPECT_EQ(State(IDC_INTERLACED).check, interlaced ? (UINT)BST_CHECKED : (UINT)BST_UNCHECKED);
            EXPECT_EQ(host.instance.dialog, window);
            EXPECT_FALSE(host.instance.previewShown);
            EXPECT_EQ(preview.button, GetDlgItem(window, IDC_SHOW_PREVIEW));
            EXPECT_EQ(preview.callbackData, &host.instance);
            EXPECT_GE(DriverPaintNotifications(window), 4);
            DriverPressEscape(dialog);
        });
    }
    // The last opening's calls were cleared by Drive; rerun without a body to see them.
    events.clear();
    SetDialogDriver([](void *, HWND d) { EndDialog(d, 1); }, nullptr);
    configProc(&host.activation, nullptr, kOwner);
    EXPECT_EQ(events, (std::vector<std::string>{"initButton", "setButtonCallback"}));
    EXPECT_FALSE(host.instance.rebuildPending);
}

// Guards: wrong label formats or precisions, unsigned decoding of the pixel aspect range, and
// wrong slider ranges or tick frequencies.
TEST_F(DialogTest, ValueLabelsAndSliderRanges) {
    struct Case {
        int32_t RemovalInstance::*field;
        int32_t value;
        int label;
        const char *text;
    };
    const Case cases[] = {
        {&RemovalInstance::depth, 15, IDC_DEPTH_VALUE, "1.5"},
        {&RemovalInstance::depth, 10, IDC_DEPTH_VALUE, "1.0"},
        {&RemovalInstance::depth, 80, IDC_DEPTH_VALUE, "8.0"},
        {&RemovalInstance::power, 40, IDC_POWER_VALUE, "4.0"},
        {&RemovalInstance::power, 0, IDC_POWER_VALUE, "0.0"},
        {&RemovalInstance::power, 160, IDC_POWER_VALUE, "16.0"},
        {&RemovalInstance::radius, 5, IDC_RADIUS_VALUE, "5"},
        {&RemovalInstance::radius, 0, IDC_RADIUS_VALUE, "0"},
        {&RemovalInstance::radius, 10, IDC_RADIUS_VALUE, "10"},
        {&RemovalInstance::pixelAspect, 0, IDC_ASPECT_VALUE, "1 : 1"},
        {&RemovalInstance::pixelAspect, -120, IDC_ASPECT_VALUE, "16 : 1"},
        {&RemovalInstance::pixelAspect, -30, IDC_ASPECT_VALUE, "2 : 1"},
        {&RemovalInstance::pixelAspect, -15, IDC_ASPECT_VALUE, "1.414 : 1"},
        {&RemovalInstance::pixelAspect, 1, IDC_ASPECT_VALUE, "1 : 1.023"},
        {&RemovalInstance::pixelAspect, 45, IDC_ASPECT_VALUE, "1 : 2.828"},
        {&RemovalInstance::pixelAspect, 120, IDC_ASPECT_VALUE, "1 : 16"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        host.instance.*c.field = c.value;
        Run([&](HWND) {
            EXPECT_STREQ(State(c.label).text, c.text);
            DriverPressEscape(dialog);
        });
        EXPECT_EQ(host.instance.*c.field, c.value);
    }
    Run([&](HWND) {
        struct Range {
            int slider, minimum, maximum, frequency;
        };
        for (Range r : {Range{IDC_DEPTH, 10, 80, 10}, Range{IDC_POWER, 0, 160, 10}, Range{IDC_ASPECT, -120, 120, 30},
                        Range{IDC_RADIUS, 0, 10, 1}}) {
            HeadlessControlState s = State(r.slider);
            EXPECT_EQ(s.rangeMin, r.minimum) << r.slider;
            EXPECT_EQ(s.rangeMax, r.maximum) << r.slider;
            EXPECT_EQ(s.tickFrequency, r.frequency) << r.slider;
        }
        DriverPressEscape(dialog);
    });
}

// Guards: an out-of-range field kept as it was instead of the position the slider reports.
TEST_F(DialogTest, OutOfRangeFieldsTakeTheClampedPosition) {
    host.instance.depth = 5;
    host.instance.power = 999;
    host.instance.pixelAspect = -500;
    host.instance.radius = 11;
    Run([&](HWND) {
        EXPECT_EQ(State(IDC_DEPTH).position, 10);
        EXPECT_STREQ(State(IDC_DEPTH_VALUE).text, "1.0");
        EXPECT_STREQ(State(IDC_POWER_VALUE).text, "16.0");
        EXPECT_STREQ(State(IDC_ASPECT_VALUE).text, "16 : 1");
        EXPECT_STREQ(State(IDC_RADIUS_VALUE).text, "10");
        DriverPressEscape(dialog);
    });
    EXPECT_EQ(host.instance.depth, 10);
    EXPECT_EQ(host.instance.power, 160);
    EXPECT_EQ(host.instance.pixelAspect, -120);
    EXPECT_EQ(host.instance.radius, 10);
}

// ---- Sliders ----------------------------------------------------------------------------------

// Guards: a slider step that misses its field or label, does not mark the rebuild before the
// selection, selects or redraws other than exactly once, or redraws before the selection.
TEST_F(DialogTest, OneSliderStepRebuildsOnceAndRedrawsOnce) {
    struct Step {
        int slider, label, to;
        int32_t RemovalInstance::*field;
        const char *text;
    };
    const Step steps[] = {
        {IDC_DEPTH, IDC_DEPTH_VALUE, 16, &RemovalInstance::depth, "1.6"},
        {IDC_POWER, IDC_POWER_VALUE, 39, &RemovalInstance::power, "3.9"},
        {IDC_ASPECT, IDC_ASPECT_VALUE, 1, &RemovalInstance::pixelAspect, "1 : 1.023"},
        {IDC_RADIUS, IDC_RADIUS_VALUE, 6, &RemovalInstance::radius, "6"},
    };
    Run([&](HWND) {
        for (const Step &s : steps) {
            SCOPED_TRACE(s.slider);
            events.clear();
            host.instance.rebuildPending = false;
            g_pendingAtSelect = false;
            ASSERT_TRUE(DriverMoveSlider(dialog, s.slider, s.to));
            EXPECT_EQ(host.instance.*s.field, s.to);
            EXPECT_STREQ(State(s.label).text, s.text);
            EXPECT_TRUE(g_pendingAtSelect);
            EXPECT_EQ(events, (std::vector<std::string>{"select", "redo"}));
        }
        DriverPressEscape(dialog);
    });
}

// Guards: a repaint (or a drag that ends where it began, or past the end of the range) being
// taken for a change: label rewritten, rebuild marked, selection or redraw.
TEST_F(DialogTest, RepaintWithoutChangeDoesNothing) {
    host.instance.radius = 10;
    Run([&](HWND) {
        long painted = DriverPaintNotifications(dialog);
        SetDlgItemTextA(dialog, IDC_RADIUS_VALUE, "marker");
        host.instance.rebuildPending = false;
        for (int slider : {IDC_DEPTH, IDC_POWER, IDC_ASPECT, IDC_RADIUS}) ASSERT_TRUE(DriverRepaint(dialog, slider));
        ASSERT_TRUE(DriverMoveSlider(dialog, IDC_DEPTH, host.instance.depth));
        ASSERT_TRUE(DriverMoveSlider(dialog, IDC_RADIUS, 11));  // beyond the end: stays at 10
        EXPECT_EQ(DriverPaintNotifications(dialog), painted + 4);
        EXPECT_STREQ(State(IDC_RADIUS_VALUE).text, "marker");
        EXPECT_EQ(host.instance.radius, 10);
        EXPECT_FALSE(host.instance.rebuildPending);
        EXPECT_TRUE(events.empty());
        DriverPressEscape(dialog);
    });
}

// ---- Buttons ----------------------------------------------------------------------------------

// Guards: Original refreshing the instance, Mask/Final not rebuilding first, the radio group not
// keeping one check, and a click on the checked button not running again.
TEST_F(DialogTest, ModeButtons) {
    LoadSubtitles(2);
    Run([&](HWND) {
        host.instance.rebuildPending = false;
        ASSERT_TRUE(DriverClick(dialog, IDC_MODE_MASK));
        EXPECT_EQ(host.instance.mode, MODE_MASK_ONLY);
        EXPECT_TRUE(g_pendingAtSelect);
        EXPECT_EQ(events, (std::vector<std::string>{"select", "redo"}));

        events.clear();
        g_pendingAtSelect = false;
        host.instance.rebuildPending = false;
        ASSERT_TRUE(DriverClick(dialog, IDC_MODE_FINAL));
        EXPECT_EQ(host.instance.mode, MODE_FINAL);
        EXPECT_TRUE(g_pendingAtSelect);
        EXPECT_EQ(events, (std::vector<std::string>{"select", "redo"}));
        EXPECT_EQ(State(IDC_MODE_MASK).check, (UINT)BST_UNCHECKED);
        EXPECT_EQ(State(IDC_MODE_FINAL).check, (UINT)BST_CHECKED);

        events.clear();
        ASSERT_TRUE(DriverClick(dialog, IDC_MODE_FINAL));
        EXPECT_EQ(events, (std::vector<std::string>{"select", "redo"}));

        events.clear();
        host.instance.rebuildPending = false;
        ASSERT_TRUE(DriverClick(dialog, IDC_MODE_ORIGINAL));
        EXPECT_EQ(host.instance.mode, MODE_ORIGINAL);
        EXPECT_FALSE(host.instance.rebuildPending);
        EXPECT_EQ(events, (std::vector<std::string>{"redo"}));
        for (int id : {IDC_MODE_MASK, IDC_MODE_FINAL}) EXPECT_EQ(State(id).check, (UINT)BST_UNCHECKED);
        EXPECT_EQ(State(IDC_MODE_ORIGINAL).check, (UINT)BST_CHECKED);
        DriverClick(dialog, IDOK);
    });
}

// Guards: a mode outside the three not being replaced once the user clicks a button.
TEST_F(DialogTest, UnknownModeChangesOnlyByAClick) {
    host.instance.mode = 9;
    Run([&](HWND) {
        DriverMoveSlider(dialog, IDC_RADIUS, 3);
        EXPECT_EQ(host.instance.mode, 9);
        DriverClick(dialog, IDC_MODE_ORIGINAL);
        EXPECT_EQ(host.instance.mode, MODE_ORIGINAL);
        DriverPressEscape(dialog);
    });
}

// Guards: the Interlaced box writing the old state, or toggling without a rebuild.
TEST_F(DialogTest, InterlacedBox) {
    Run([&](HWND) {
        for (bool expected : {true, false}) {
            events.clear();
            host.instance.rebuildPending = false;
            ASSERT_TRUE(DriverClick(dialog, IDC_INTERLACED));
            EXPECT_EQ(host.instance.interlaced, expected);
            EXPECT_TRUE(g_pendingAtSelect);
            EXPECT_EQ(events, (std::vector<std::string>{"select", "redo"}));
        }
        DriverPressEscape(dialog);
    });
}

// Guards: a cancelled index box leaving Final checked and enabled, or `mode` at Final, and the
// box getting no owner while the dialog is open.
TEST_F(DialogTest, DirectoryCancelledWhileFinalChecked) {
    LoadSubtitles(3);
    host.instance.mode = MODE_FINAL;
    struct Box {
        std::vector<std::string> *events;
        HWND owner;
    } box{&events, nullptr};
    SetOpenFileHandler(
        [](void *context, const OPENFILENAMEA *ofn) -> const char * {
            Box *b = static_cast<Box *>(context);
            b->events->push_back("openBox");
            b->owner = ofn->hwndOwner;
            return nullptr;
        },
        &box);
    Run([&](HWND) {
        ASSERT_EQ(State(IDC_MODE_FINAL).check, (UINT)BST_CHECKED);
        ASSERT_TRUE(DriverClick(dialog, IDC_DIRECTORY));
        EXPECT_EQ(box.owner, dialog);
        EXPECT_EQ(host.instance.subtitles.count, 0);
        EXPECT_EQ(host.instance.mode, MODE_ORIGINAL);
        EXPECT_EQ(State(IDC_MODE_ORIGINAL).check, (UINT)BST_CHECKED);
        EXPECT_EQ(State(IDC_MODE_FINAL).check, (UINT)BST_UNCHECKED);
        EXPECT_FALSE(State(IDC_MODE_MASK).enabled);
        EXPECT_FALSE(State(IDC_MODE_FINAL).enabled);
        EXPECT_EQ(events, (std::vector<std::string>{"openBox", "select", "redo"}));
        // A disabled button cannot be clicked.
        EXPECT_FALSE(DriverClick(dialog, IDC_MODE_FINAL));
        DriverPressEscape(dialog);
    });
}

// Guards: the Directory button not refreshing after a chosen index (no graymap loaded, Mask and
// Final left disabled), and a slider step not rebuilding the subtitle that is already loaded.
TEST_F(DialogTest, DirectoryChosenThenSliderRebuildsTheLoadedSubtitle) {
    char pattern[] = "/tmp/sr_dialog_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern, index = folder + "/film.bms", image = folder + "/image_0.pgm";
    auto write = [](const std::string &path, const std::string &bytes) {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    };
    write(index, "1\n1,0,10,10,8\n");                           // frames 0..10, picture (10, 8)
    write(image, std::string("P5\n2 2\n255\n") + "\xff\xff\xff\xff");  // a 2 x 2 glyph
    SetOpenFileHandler([](void *context, const OPENFILENAMEA *) { return static_cast<const char *>(context); },
                       const_cast<char *>(index.c_str()));
    auto regionPixels = [&] {
        long n = 0;
        for (int32_t i = 0; i < host.instance.regions.count; ++i) n += host.instance.regions.items[i].pixelCount;
        return n;
    };
    host.SetFrameNumber(4);
    Run([&](HWND) {
        ASSERT_FALSE(State(IDC_MODE_FINAL).enabled);
        ASSERT_TRUE(DriverClick(dialog, IDC_DIRECTORY));
        EXPECT_EQ(host.instance.subtitles.count, 1);
        EXPECT_EQ(host.instance.currentSubtitle, 0);
        EXPECT_TRUE(State(IDC_MODE_MASK).enabled);
        EXPECT_TRUE(State(IDC_MODE_FINAL).enabled);
        EXPECT_EQ(events, (std::vector<std::string>{"select", "redo"}));
        const long widened = regionPixels();
        EXPECT_GT(widened, 4);  // radius 5 widens the glyph

        ASSERT_TRUE(DriverClick(dialog, IDC_MODE_FINAL));
        ASSERT_TRUE(DriverMoveSlider(dialog, IDC_RADIUS, 0));
        EXPECT_EQ(regionPixels(), 4);  // rebuilt without widening: the glyph alone
        EXPECT_FALSE(host.instance.rebuildPending);
        DriverClick(dialog, IDOK);
    });
    std::remove(index.c_str());
    std::remove(image.c_str());
    rmdir(folder.c_str());
}

// Guards: Toggle given the dialog instead of the host's window, and the callback not reaching
// the instance.
TEST_F(DialogTest, ShowPreviewButtonAndCallback) {
    Run([&](HWND) {
        ASSERT_TRUE(DriverClick(dialog, IDC_SHOW_PREVIEW));
        EXPECT_EQ(events, (std::vector<std::string>{"toggle"}));
        EXPECT_EQ(preview.toggleParent, kOwner);
        ASSERT_NE(preview.callback, nullptr);
        preview.callback(true, preview.callbackData);
        EXPECT_TRUE(host.instance.previewShown);
        preview.callback(false, preview.callbackData);
        EXPECT_FALSE(host.instance.previewShown);
        DriverClick(dialog, IDOK);
    });
}

// ---- Endings ----------------------------------------------------------------------------------

// Guards: swapped results, a cancel that undoes changes, and a dead window left in `dialog`.
TEST_F(DialogTest, CloseReturnsZeroAndCancelOneKeepingChanges) {
    LoadSubtitles(1);
    HWND seen = nullptr;
    auto change = [&](HWND) {
        seen = dialog;
        DriverMoveSlider(dialog, IDC_RADIUS, 2);
        DriverMoveSlider(dialog, IDC_ASPECT, -30);
        DriverClick(dialog, IDC_INTERLACED);
        DriverClick(dialog, IDC_MODE_MASK);
    };
    EXPECT_EQ(Run([&](HWND w) {
                  change(w);
                  EXPECT_TRUE(DriverClick(dialog, IDOK));
                  EXPECT_FALSE(DriverClick(dialog, IDC_MODE_FINAL));  // nothing after the end
              }),
              0);
    EXPECT_EQ(host.instance.mode, MODE_MASK_ONLY);
    for (auto end : {DriverPressEscape, DriverClickCloseBox}) {
        host.instance.radius = 5;
        host.instance.pixelAspect = 0;
        host.instance.interlaced = false;
        host.instance.mode = MODE_ORIGINAL;
        host.instance.rebuildPending = false;
        EXPECT_EQ(Run([&](HWND w) {
                      change(w);
                      // Set the flag again (a selection may have consumed it) to see that cancelling keeps it.
                      host.instance.rebuildPending = true;
                      EXPECT_TRUE(end(dialog));
                  }),
                  1);
        EXPECT_EQ(host.instance.radius, 2);
        EXPECT_EQ(host.instance.pixelAspect, -30);
        EXPECT_TRUE(host.instance.interlaced);
        EXPECT_EQ(host.instance.mode, MODE_MASK_ONLY);
        EXPECT_TRUE(host.instance.rebuildPending);
        EXPECT_EQ(host.instance.dialog, nullptr);
        EXPECT_FALSE(DriverIsWindow(seen));
        EXPECT_EQ(host.instance.activation, &host.activation);
    }
}

// Guards: a failed modal call reported as a choice, and the template looked up elsewhere than
// through the module record.
TEST_F(DialogTest, FailuresPassTheModalResult) {
    module.hInstModule = nullptr;
    EXPECT_EQ(Run([&](HWND) { ADD_FAILURE() << "no dialog can open without the module's resources"; }), -1);
    module.hInstModule = reinterpret_cast<HMODULE>(&module);
    EXPECT_EQ(Run([&](HWND) {}), -1);  // the user never ended it
    EXPECT_EQ(host.instance.dialog, nullptr);
}

// Guards: acting on custom-draw stages other than pre-paint, on other notifications or senders,
// and on commands with a notification code other than BN_CLICKED.
TEST_F(DialogTest, IgnoredNotificationsAndCommands) {
    LoadSubtitles(1);
    Run([&](HWND) {
        // Move the thumb without painting, so that only a wrongly accepted message could read it.
        SendDlgItemMessageA(dialog, IDC_RADIUS, TBM_SETPOS, FALSE, 8);
        HWND slider = GetDlgItem(dialog, IDC_RADIUS);
        auto notify = [&](UINT code, DWORD stage, UINT_PTR from) {
            NMCUSTOMDRAW draw{};
            draw.hdr = {slider, from, code};
            draw.dwDrawStage = stage;
            return DriverSendToDialog(dialog, WM_NOTIFY, from, (LPARAM)&draw);
        };
        EXPECT_EQ(notify((UINT)NM_CUSTOMDRAW, CDDS_POSTPAINT, IDC_RADIUS), 0);
        EXPECT_EQ(notify((UINT)NM_CUSTOMDRAW, 0x00010001 /* item pre-paint */, IDC_RADIUS), 0);
        EXPECT_EQ(notify((UINT)-2 /* click */, CDDS_PREPAINT, IDC_RADIUS), 0);
        EXPECT_EQ(notify((UINT)NM_CUSTOMDRAW, CDDS_PREPAINT, IDC_RADIUS_VALUE), 0);
        for (int id : {IDC_MODE_MASK, IDC_MODE_FINAL, IDC_INTERLACED, IDC_DIRECTORY, IDC_SHOW_PREVIEW, IDOK, IDCANCEL})
            EXPECT_EQ(DriverSendToDialog(dialog, WM_COMMAND, MAKEWPARAM(id, 5 /* double click */), 0), 0);
        EXPECT_EQ(DriverSendToDialog(dialog, WM_COMMAND, MAKEWPARAM(IDC_DEPTH_VALUE, BN_CLICKED), 0), 0);
        EXPECT_EQ(DriverSendToDialog(dialog, 0x0200 /* mouse move */, 0, 0), 0);
        EXPECT_TRUE(events.empty());
        EXPECT_EQ(host.instance.radius, 5);
        EXPECT_EQ(host.instance.mode, MODE_ORIGINAL);
        EXPECT_FALSE(host.instance.interlaced);
        // The same thumb position is taken by the message that should take it.
        EXPECT_EQ(notify((UINT)NM_CUSTOMDRAW, CDDS_PREPAINT, IDC_RADIUS), 0);
        EXPECT_EQ(host.instance.radius, 8);
        EXPECT_EQ(DriverSendToDialog(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0), 1);
    });
}

// ---- The template ------------------------------------------------------------------------------

// Values of the Windows headers for the names the resource script uses.
const std::map<std::string, long> kNames = {
    {"WS_POPUP", 0x80000000L},    {"WS_CHILD", 0x40000000L},  {"WS_VISIBLE", 0x10000000L},
    {"WS_CAPTION", 0x00C00000L},  {"WS_SYSMENU", 0x00080000L}, {"WS_GROUP", 0x00020000L},
    {"WS_TABSTOP", 0x00010000L},  {"DS_MODALFRAME", 0x80L},    {"DS_SETFONT", 0x40L},
    {"BS_PUSHBUTTON", 0},         {"BS_AUTOCHECKBOX", 3},      {"BS_GROUPBOX", 7},
    {"BS_AUTORADIOBUTTON", 9},    {"BS_LEFT", 0x100},          {"SS_LEFT", 0},
    {"SS_CENTER", 1},             {"SS_CENTERIMAGE", 0x200},   {"TBS_AUTOTICKS", 1},
    {"TBS_HORZ", 0},              {"WS_EX_STATICEDGE", 0x20000L}, {"IDOK", 1},
    {"LANG_ENGLISH", 0x09},       {"SUBLANG_ENGLISH_US", 0x01},
};

struct ScriptReader {
    std::map<std::string, long> names = kNames;

    long Evaluate(std::string expression) {
        long value = 0;
        std::stringstream terms(expression);
        std::string term;
        while (std::getline(terms, term, '|')) {
            term.erase(0, term.find_first_not_of(" \t"));
            term.erase(term.find_last_not_of(" \t") + 1);
            char *end = nullptr;
            long number = std::strtol(term.c_str(), &end, 0);
            if (!term.empty() && *end == '\0') {
                value |= number;
            } else {
                EXPECT_TRUE(names.count(term)) << "unknown name " << term;
                value |= names[term];
            }
        }
        return value;
    }
    // Splits at commas outside quotes; quoted fields keep their quotes.
    static std::vector<std::string> Fields(const std::string &text) {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (char c : text) {
            if (c == '"') quoted = !quoted;
            if (c == ',' && !quoted)
                fields.emplace_back();
            else
                fields.back() += c;
        }
        for (auto &f : fields) {
            f.erase(0, f.find_first_not_of(" \t"));
            f.erase(f.find_last_not_of(" \t") + 1);
        }
        return fields;
    }
    static std::string Unquote(const std::string &f) {
        EXPECT_TRUE(f.size() >= 2 && f.front() == '"' && f.back() == '"') << f;
        return f.size() >= 2 ? f.substr(1, f.size() - 2) : f;
    }
    static std::string StripComment(const std::string &line) {
        bool quoted = false;
        for (size_t i = 0; i + 1 < line.size(); ++i) {
            if (line[i] == '"') quoted = !quoted;
            if (!quoted && line[i] == '/' && line[i + 1] == '/') return line.substr(0, i);
        }
        return line;
    }
};

std::string Upper(std::string s) {
    for (char &c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}

// Guards: the headless table and the resource script drifting apart (ids, classes, styles,
// texts, rectangles, order), and resource.h ids differing from the script's controls.
TEST(DialogTemplate, HeadlessTableMatchesResourceScript) {
    ScriptReader reader;
    std::ifstream header(std::string(SR_SOURCE_DIR) + "/ui/resource.h");
    ASSERT_TRUE(header.good());
    for (std::string line; std::getline(header, line);) {
        std::stringstream words(line);
        std::string define, name;
        long value;
        if (words >> define >> name >> value && define == "#define") reader.names[name] = value;
    }
    std::ifstream script(std::string(SR_SOURCE_DIR) + "/ui/dialog.rc");
    ASSERT_TRUE(script.good());
    const HeadlessDialogTemplate *form = FindHeadlessDialogTemplate(IDD_SUBTITLE_REMOVAL);
    ASSERT_NE(form, nullptr);

    long language = -1;
    bool inDialog = false, inControls = false, sawFont = false, sawCaption = false, sawStyle = false;
    size_t control = 0;
    for (std::string line; std::getline(script, line);) {
        line = ScriptReader::StripComment(line);
        std::stringstream words(line);
        std::string first, second;
        words >> first >> second;
        if (first.empty() || first[0] == '#') continue;
        std::string rest;
        std::getline(words, rest);
        if (first == "LANGUAGE") {
            auto f = ScriptReader::Fields(second + rest);
            ASSERT_EQ(f.size(), 2u);
            language = (reader.Evaluate(f[1]) << 10) | reader.Evaluate(f[0]);
        } else if (second == "DIALOGEX") {
            inDialog = true;
            EXPECT_EQ(reader.Evaluate(first), form->resourceId);
            EXPECT_EQ(language, form->language);
            auto f = ScriptReader::Fields(rest);
            ASSERT_EQ(f.size(), 4u);
            EXPECT_EQ(reader.Evaluate(f[0]), form->x);
            EXPECT_EQ(reader.Evaluate(f[1]), form->y);
            EXPECT_EQ(reader.Evaluate(f[2]), form->cx);
            EXPECT_EQ(reader.Evaluate(f[3]), form->cy);
        } else if (inDialog && first == "STYLE") {
            sawStyle = true;
            EXPECT_EQ((DWORD)reader.Evaluate(second + rest), form->style);
        } else if (inDialog && first == "EXSTYLE") {
            EXPECT_EQ((DWORD)reader.Evaluate(second + rest), form->exStyle);
        } else if (inDialog && first == "CAPTION") {
            sawCaption = true;
            EXPECT_EQ(ScriptReader::Unquote(line.substr(line.find('"'), line.rfind('"') - line.find('"') + 1)),
                      form->title);
        } else if (inDialog && first == "FONT") {
            sawFont = true;
            auto f = ScriptReader::Fields(second + rest);
            ASSERT_EQ(f.size(), 5u);
            EXPECT_EQ(reader.Evaluate(f[0]), form->fontSize);
            EXPECT_EQ(ScriptReader::Unquote(f[1]), form->fontName);
            EXPECT_EQ(reader.Evaluate(f[2]), form->fontWeight);
            EXPECT_EQ(reader.Evaluate(f[3]), form->fontItalic);
            EXPECT_EQ(reader.Evaluate(f[4]), form->fontCharset);
        } else if (inDialog && first == "BEGIN") {
            inControls = true;
        } else if (inControls && first == "END") {
            inControls = inDialog = false;
        } else if (inControls) {
            ASSERT_EQ(first, "CONTROL") << "only generic CONTROL statements state every style bit";
            ASSERT_LT(control, form->controlCount);
            const HeadlessControlTemplate &c = form->controls[control++];
            SCOPED_TRACE(c.text);
            auto f = ScriptReader::Fields(line.substr(line.find("CONTROL") + 7));
            ASSERT_GE(f.size(), 8u);
            ASSERT_LE(f.size(), 9u);
            EXPECT_EQ(ScriptReader::Unquote(f[0]), c.text);
            EXPECT_EQ(reader.Evaluate(f[1]), c.id);
            EXPECT_EQ(Upper(ScriptReader::Unquote(f[2])), Upper(c.className));
            EXPECT_EQ((DWORD)reader.Evaluate(f[3]), c.style);
            EXPECT_EQ(reader.Evaluate(f[4]), c.x);
            EXPECT_EQ(reader.Evaluate(f[5]), c.y);
            EXPECT_EQ(reader.Evaluate(f[6]), c.cx);
            EXPECT_EQ(reader.Evaluate(f[7]), c.cy);
            EXPECT_EQ(f.size() == 9 ? (DWORD)reader.Evaluate(f[8]) : 0u, c.exStyle);
            const char *expectedClass = c.windowClass == HEADLESS_BUTTON   ? "BUTTON"
                                        : c.windowClass == HEADLESS_STATIC ? "STATIC"
                                                                           : "MSCTLS_TRACKBAR32";
            EXPECT_EQ(Upper(c.className), expectedClass);
        }
    }
    EXPECT_TRUE(sawStyle && sawCaption && sawFont);
    EXPECT_EQ(control, form->controlCount);
}

}  // namespace
