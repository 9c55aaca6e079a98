// Where a film is written: the checks that keep the input and existing files safe, the temporary
// file (or folder, for an image sequence) written until the film is whole, and moving it into
// place. Names are plain paths: nothing here reads a protocol prefix out of them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
}

struct TargetRules {
    bool overwrite = false;               // -y: an existing regular file may be replaced
    std::vector<std::string> inputFiles;  // every file the input reads
    int64_t firstNumber = 0;              // image sequence: the first file's number
    int64_t expectedFrames = -1;          // the input's announced frames; -1: unknown
};

class OutputTarget {
public:
    // Refuses an output that is one of the input's files, that exists and is not a regular file,
    // or that exists without rules.overwrite; then creates the temporary file or folder.
    OutputTarget(const std::string &path, bool sequence, const TargetRules &rules);
    ~OutputTarget();  // removes the temporary file or folder unless published
    OutputTarget(const OutputTarget &) = delete;
    OutputTarget &operator=(const OutputTarget &) = delete;

    // File output: a writer on the temporary file's own descriptor (never reopened by name, so a
    // name swapped meanwhile is never followed). Free it with CloseWriter.
    AVIOContext *OpenWriter();
    // Image sequence: the name for the muxer, in the temporary folder, with the file protocol.
    std::string MuxerUrl() const;
    // An image output without a frame-number pattern: it holds one picture.
    bool SinglePicture() const { return sequence_ && !pattern_; }
    // Bytes in the output file so far (read from the file, not the muxer); -1 for a sequence.
    int64_t BytesWritten() const;
    // Moves the film into place; the checks of the constructor are made again first.
    void Publish();
    void Discard();

private:
    void CheckName(const std::string &name) const;
    void CheckSequenceNames(int64_t expected) const;
    void CreateTemporary();

    std::string path_;
    std::string folder_;
    bool sequence_;
    bool stream_ = false;  // "-": standard output
    bool pattern_ = false;
    bool overwrite_;
    std::set<std::pair<dev_t, ino_t>> inputIds_;
    std::string tempPath_;  // file output
    int fd_ = -1;
    std::string tempDir_;   // image sequence
    bool published_ = false;
};

// Flushes and frees a writer of OpenWriter; the first write error, or 0.
int CloseWriter(AVIOContext **writer);
