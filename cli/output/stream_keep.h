// What a film keeps besides its pictures: chapters, stream tags, dispositions and stream side data
// (rotation, HDR10 metadata), and the one-line reason for each stream an output cannot hold.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <string>

struct EncodeRequest;

// Appends the input's chapters, with their tags and time bases, to the output.
void CopyChapters(const AVFormatContext *in, AVFormatContext *out);
// Copies the stream's side data; `reencoded` leaves out what described the input's coding.
void CopyStreamSideData(const AVStream *in, AVStream *out, bool reencoded);
// The video stream's tags less those its input encoder and muxer wrote about its coding.
void CopyVideoTags(const AVDictionary *in, AVDictionary **out);
// Fills the HDR10 fields of `request` from the input stream's side data.
void ReadHdrMetadata(const AVStream *in, EncodeRequest &request);
// "stream 3 (hdmv_pgs_subtitle, language eng) left out: mp4 cannot hold it"
std::string LeftOutLine(const AVStream *stream, const std::string &holder);
