// Chapters, tags, dispositions and stream side data carried from input to output (see stream_keep.h).
#include "cli/output/stream_keep.h"

extern "C" {
#include <libavutil/mastering_display_metadata.h>
}

#include <strings.h>

#include <cstring>

#include "cli/av_util.h"
#include "cli/output/encoder_policy.h"
#include "cli/errors.h"

namespace {

// Tags about the input's coding: the encoder's name, and the duration and statistics Matroska
// writers add (mkvmerge suffixes them with a language, "BPS-eng"). The new coding makes them wrong.
bool DescribesCoding(const char *key) {
    static const char *const kExact[] = {"ENCODER", "DURATION", "BPS", "NUMBER_OF_FRAMES", "NUMBER_OF_BYTES"};
    for (const char *k : kExact) {
        const size_t n = std::strlen(k);
        if (!strncasecmp(key, k, n) && (key[n] == '\0' || key[n] == '-')) return true;
    }
    return !strncasecmp(key, "_STATISTICS_", 12);
}

}  // namespace

void CopyChapters(const AVFormatContext *in, AVFormatContext *out) {
    if (in->nb_chapters == 0) return;
    // The muxer API has no call to add a chapter: the array is grown as avformat_free_context frees it.
    void *grown = av_realloc_array(out->chapters, out->nb_chapters + in->nb_chapters, sizeof(*out->chapters));
    if (!grown) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    out->chapters = static_cast<AVChapter **>(grown);
    for (unsigned i = 0; i < in->nb_chapters; ++i) {
        const AVChapter *from = in->chapters[i];
        AVChapter *to = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!to) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        out->chapters[out->nb_chapters++] = to;
        to->id = from->id;
        to->time_base = from->time_base;
        to->start = from->start;
        to->end = from->end;
        CheckAv(av_dict_copy(&to->metadata, from->metadata, 0), "cannot copy a chapter");
    }
}

void CopyStreamSideData(const AVStream *in, AVStream *out, bool reencoded) {
    for (int i = 0; i < in->nb_side_data; ++i) {
        const AVPacketSideData &sd = in->side_data[i];
        // Buffer sizes and rates of the input's coding, not of ours.
        if (reencoded && sd.type == AV_PKT_DATA_CPB_PROPERTIES) continue;
        uint8_t *data = av_stream_new_side_data(out, sd.type, sd.size);
        if (!data) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        std::memcpy(data, sd.data, sd.size);
    }
}

void CopyVideoTags(const AVDictionary *in, AVDictionary **out) {
    const AVDictionaryEntry *e = nullptr;
    while ((e = av_dict_get(in, "", e, AV_DICT_IGNORE_SUFFIX))) {
        if (!DescribesCoding(e->key)) CheckAv(av_dict_set(out, e->key, e->value, 0), "cannot copy a tag");
    }
}

void ReadHdrMetadata(const AVStream *in, EncodeRequest &request) {
    size_t size = 0;
    const uint8_t *m = av_stream_get_side_data(in, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &size);
    if (m && size >= sizeof(AVMasteringDisplayMetadata)) {
        request.hasMastering = true;
        std::memcpy(&request.mastering, m, sizeof(AVMasteringDisplayMetadata));
    }
    const uint8_t *l = av_stream_get_side_data(in, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &size);
    if (l && size >= sizeof(AVContentLightMetadata)) {
        request.hasLightLevel = true;
        std::memcpy(&request.lightLevel, l, sizeof(AVContentLightMetadata));
    }
}

std::string LeftOutLine(const AVStream *stream, const std::string &holder) {
    std::string what = avcodec_get_name(stream->codecpar->codec_id);
    if (const AVDictionaryEntry *lang = av_dict_get(stream->metadata, "language", nullptr, 0)) {
        what += std::string(", language ") + lang->value;
    }
    return "stream " + std::to_string(stream->index) + " (" + what + ") left out: " + holder + " cannot hold it";
}
