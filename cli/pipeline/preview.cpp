// The preview strips (see preview.h) and the small PNG writer they use.
#include "cli/pipeline/preview.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "cli/av_util.h"
#include "cli/colour/colour.h"
#include "cli/errors.h"
#include "cli/plugin/filter_settings.h"
#include "cli/pipeline/frame_ranges.h"
#include "cli/input/frame_seek.h"
#include "cli/plugin/index_summary.h"
#include "cli/input/input.h"
#include "cli/output/output_target.h"
#include "cli/plugin/plugin_host.h"
#include "cli/temporal_fill/preview_temporal.h"
#include "cli/detection/radius_plan.h"
#include "host/params.h"

namespace {

// Copies the instance's output into panel `panel` of the strip (`panels` pictures side by side).
void CopyPanel(const FilterInstance &instance, int panel, int panels, std::vector<uint8_t> &rgb) {
    const int w = instance.width(), h = instance.height();
    for (int y = 0; y < h; ++y) {
        const uint32_t *row = instance.DestinationRow(y);
        uint8_t *outRow = rgb.data() + ((size_t)y * w * panels + (size_t)panel * w) * 3;
        for (int x = 0; x < w; ++x) {
            outRow[3 * x] = (uint8_t)(row[x] >> 16);
            outRow[3 * x + 1] = (uint8_t)(row[x] >> 8);
            outRow[3 * x + 2] = (uint8_t)row[x];
        }
    }
}

// The frame of each --preview item: a number as given, a time as the frame at or after it.
int64_t PreviewNumber(const std::string &item, const VideoInput &input) {
    if (item.find_first_not_of("0123456789") == std::string::npos) return std::stoll(item);
    return FrameAtTime(input, ParseTime(item, true));
}

// One picture per frame: the given name, or with several, "-N" before the extension.
std::string PreviewPath(const std::string &path, int64_t number, bool several) {
    if (!several) return path;
    const size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(number) + path.substr(dot);
}

// Frame `number`, by seeking; when that cannot be exact, by decoding a fresh reader from the start.
AVFrame *FindFrame(const Options &o, VideoInput &input, int64_t number, std::unique_ptr<VideoInput> &fresh) {
    if (AVFrame *frame = SeekFrame(input, number)) return frame;
    fresh = std::make_unique<VideoInput>(o.input, input.decoder()->thread_count);
    int64_t index = 0;
    AVFrame *frame = nullptr;
    while ((frame = fresh->NextFrame()) != nullptr && index < number) ++index;
    if (!frame) {
        throw HostError(EXIT_FAILURE_RUN, "--preview " + std::to_string(number) + " is past the end of " + o.input + " (" +
                                              std::to_string(index) + " frames)");
    }
    return frame;
}

// The size a graymap's header gives, or 0 x 0.
std::pair<int, int> GraymapSize(const std::string &path) {
    int w = 0, h = 0;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        if (std::fscanf(f, "P5 %d %d", &w, &h) != 2) w = h = 0;
        std::fclose(f);
    }
    return {w, h};
}

// A two-pixel frame in green around each found subtitle shown in frame `number`.
void DrawFoundBoxes(const Options &o, int64_t number, int stripWidth, int panelWidth, int height, std::vector<uint8_t> &rgb) {
    const IndexSummary index = ReadIndexSummary(o.index);
    const size_t slash = o.index.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : o.index.substr(0, slash);
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        if (!e.matches || number < e.firstFrame || number > e.lastFrame) continue;
        const auto size = GraymapSize(folder + "/image_" + std::to_string(i) + ".pgm");
        const int x0 = e.x - 2, y0 = e.y - 2, x1 = e.x + size.first + 1, y1 = e.y + size.second + 1;
        for (int y = std::max(0, y0); y <= std::min(height - 1, y1); ++y) {
            for (int x = std::max(0, x0); x <= std::min(panelWidth - 1, x1); ++x) {
                if (y > y0 + 1 && y < y1 - 1 && x > x0 + 1 && x < x1 - 1) continue;
                uint8_t *p = rgb.data() + ((size_t)y * stripWidth + x) * 3;
                p[0] = 0, p[1] = 255, p[2] = 0;
            }
        }
        break;  // the module shows the first entry that holds the frame
    }
}

// The strip: original | mask | final, and with the temporal fill original | mask | spatial |
// temporal. `temporal` is that fill's frame, or null when it is the original.
void WriteStrip(const Options &o, const FilterModuleHandle &module, const VideoInput &input, const AVFrame *frame,
                const AVFrame *temporal, int64_t number, const std::string &path, const RadiusPlan *radii) {
    const int w = input.width(), h = input.height();
    const PictureColour colour = ResolveColour((AVPixelFormat)frame->format, frame->colorspace, frame->color_range, w, h);
    ColourConverter converter(w, h, colour, colour);
    const int panels = o.temporalFill ? 4 : 3;
    std::vector<uint8_t> rgb((size_t)w * panels * h * 3);
    const int32_t modes[4] = {MODE_ORIGINAL, MODE_MASK_ONLY, MODE_FINAL, MODE_ORIGINAL};
    for (int panel = 0; panel < panels; ++panel) {
        FilterInstance instance(module, w, h);
        FilterSettings settings = o.settings;
        settings.mode = modes[panel];
        ConfigureWidened(instance, settings, o.configGiven, radii, WideningAt(radii, number, settings.radius));
        instance.Start((int32_t)number);
        converter.ToHost(panel == 3 && temporal ? temporal : frame, instance, RowBand{0, h});
        instance.Run((int32_t)number, input.MicrosecondsPerFrame());
        instance.End();
        CopyPanel(instance, panel, panels, rgb);
    }
    if (!o.detectDir.empty()) DrawFoundBoxes(o, number, w * panels, w, h, rgb);
    TargetRules rules;
    rules.overwrite = o.overwrite;
    rules.inputFiles = input.Files();
    WritePng(path, w * panels, h, rgb, rules);
}

}  // namespace

int Preview(const Options &o, const FilterModuleHandle &module, VideoInput &input, const RadiusPlan *radii) {
    const std::vector<FrameRange> subtitled = MergeFrameRanges(ReadIndexSummary(o.index).ranges);
    for (const std::string &item : o.previews) {
        const int64_t number = PreviewNumber(item, input);
        if (number > INT32_MAX) throw HostError(EXIT_FAILURE_RUN, "--preview " + item + " is past the frames the filter can number");
        std::unique_ptr<VideoInput> fresh;
        FramePtr temporal;
        if (o.temporalFill) temporal = TemporalPreviewFrame(o, module, input, number, radii);
        const AVFrame *frame = FindFrame(o, input, number, fresh);
        const std::string path = PreviewPath(o.previewPath, number, o.previews.size() > 1);
        WriteStrip(o, module, fresh ? *fresh : input, frame, temporal.get(), number, path, radii);
        if (!o.quiet) {
            std::fprintf(stderr, "subremove: frame %lld as original | mask | %s written to %s%s\n", (long long)number,
                         o.temporalFill ? "spatial | temporal" : "final", path.c_str(),
                         o.index.empty() || InMergedRanges(subtitled, number) ? "" : "; the index shows no subtitle in it");
        }
    }
    return EXIT_OK;
}

void WritePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb, const TargetRules &rules) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) throw HostError(EXIT_FAILURE_RUN, "no PNG encoder");
    AVCodecContext *context = avcodec_alloc_context3(codec);
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    auto cleanup = [&] {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    };
    try {
        if (!context || !frame || !packet) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        context->width = width;
        context->height = height;
        context->pix_fmt = AV_PIX_FMT_RGB24;
        context->time_base = AVRational{1, 25};
        CheckAv(avcodec_open2(context, codec, nullptr), "cannot open the PNG encoder");
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        CheckAv(av_frame_get_buffer(frame, 0), "cannot allocate a frame");
        for (int y = 0; y < height; ++y) {
            std::memcpy(frame->data[0] + (ptrdiff_t)y * frame->linesize[0], rgb.data() + (size_t)y * width * 3, (size_t)width * 3);
        }
        CheckAv(avcodec_send_frame(context, frame), "cannot encode the preview");
        avcodec_send_frame(context, nullptr);
        CheckAv(avcodec_receive_packet(context, packet), "cannot encode the preview");
        // The same checks and exclusive temporary file as a film's output.
        OutputTarget target(path, false, rules);
        AVIOContext *writer = target.OpenWriter();
        avio_write(writer, packet->data, packet->size);
        const int error = CloseWriter(&writer);
        if (error < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + AvError(error));
        target.Publish();
    } catch (...) {
        cleanup();
        throw;
    }
    cleanup();
}
