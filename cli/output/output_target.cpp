// The output's checks, temporary file or folder, and publishing (see output_target.h).
#include "cli/output/output_target.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "cli/errors.h"

namespace {

constexpr int kWriterBuffer = 1 << 16;

std::string DirectoryOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Reason() { return std::strerror(errno); }

int WriteToFd(void *opaque, uint8_t *data, int size) {
    const int fd = *static_cast<int *>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, (size_t)(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? AVERROR(errno) : AVERROR(EIO);
        done += (int)n;
    }
    return size;
}

int64_t SeekFd(void *opaque, int64_t offset, int whence) {
    const int fd = *static_cast<int *>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st{};
        return fstat(fd, &st) == 0 ? (int64_t)st.st_size : AVERROR(errno);
    }
    const off_t at = lseek(fd, (off_t)offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : (int64_t)at;
}

// Files made through the descriptor keep the permissions an ordinary open would have given.
mode_t CreationMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputTarget::OutputTarget(const std::string &path, bool sequence, const TargetRules &rules)
    : path_(path), folder_(DirectoryOf(path)), sequence_(sequence), overwrite_(rules.overwrite) {
    struct stat st{};
    if (path_ == "-") {
        // Standard output: no name to check and nothing to move into place; what was written is
        // the reader's. Our own descriptor, so closing it leaves standard output to the process.
        stream_ = true;
        fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write to standard output: " + Reason());
        return;
    }
    if (stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": the folder " + folder_ + " does not exist");
    }
    for (const std::string &file : rules.inputFiles) {
        if (stat(file.c_str(), &st) == 0) inputIds_.insert({st.st_dev, st.st_ino});
    }
    pattern_ = sequence_ && av_filename_number_test(path_.c_str());
    if (SinglePicture() && rules.expectedFrames > 1) {
        throw HostError(EXIT_FAILURE_RUN, path_ + " names one picture and the input has " +
                                              std::to_string(rules.expectedFrames) +
                                              " frames: name a sequence with a frame number, such as %05d");
    }
    if (pattern_) {
        // The files the film should give; Publish checks the ones it really gave.
        char name[4096];
        const int64_t count = std::max<int64_t>(1, rules.expectedFrames);
        for (int64_t i = rules.firstNumber; i < rules.firstNumber + count && i <= INT32_MAX; ++i) {
            if (av_get_frame_filename(name, sizeof(name), path_.c_str(), (int)i) == 0) CheckName(name);
        }
    } else {
        CheckName(path_);
    }
    CreateTemporary();
}

OutputTarget::~OutputTarget() {
    if (!published_) Discard();
}

// One name the output would take: never an input file, never anything but a regular file, and an
// existing one only when overwriting was asked for.
void OutputTarget::CheckName(const std::string &name) const {
    struct stat st{};
    if (lstat(name.c_str(), &st) != 0) return;
    if (stat(name.c_str(), &st) == 0) {
        if (inputIds_.count({st.st_dev, st.st_ino})) {
            throw HostError(EXIT_FAILURE_RUN, "the output " + name + " is the input; name another output file");
        }
        if (!S_ISREG(st.st_mode)) throw HostError(EXIT_FAILURE_RUN, "the output " + name + " exists and is not a regular file");
    }
    if (!overwrite_) throw HostError(EXIT_FAILURE_RUN, "the output " + name + " already exists; use -y to overwrite it");
}

// Exclusive and unpredictable, so that nothing planted under the name is followed or reused.
void OutputTarget::CreateTemporary() {
    if (sequence_) {
        std::string name = folder_ + "/.subremove.XXXXXX";
        if (!mkdtemp(name.data())) throw HostError(EXIT_FAILURE_RUN, "cannot write in " + folder_ + ": " + Reason());
        tempDir_ = name;
        return;
    }
    std::string name = folder_ + "/." + BaseName(path_) + ".XXXXXX.part";
    fd_ = mkostemps(name.data(), 5, O_CLOEXEC);
    if (fd_ < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + Reason());
    tempPath_ = name;
    if (fchmod(fd_, CreationMode()) != 0) {
        const std::string why = Reason();
        Discard();  // a throwing constructor runs no destructor
        throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + why);
    }
}

AVIOContext *OutputTarget::OpenWriter() {
    auto *buffer = static_cast<unsigned char *>(av_malloc(kWriterBuffer));
    // A pipe cannot seek: without a seek function the muxer writes front to back.
    AVIOContext *writer =
        buffer ? avio_alloc_context(buffer, kWriterBuffer, 1, &fd_, nullptr, WriteToFd, stream_ ? nullptr : SeekFd) : nullptr;
    if (!writer) {
        av_free(buffer);
        throw HostError(EXIT_FAILURE_RUN, "out of memory");
    }
    return writer;
}

std::string OutputTarget::MuxerUrl() const { return "file:" + tempDir_ + "/" + BaseName(path_); }

void OutputTarget::Publish() {
    if (stream_) {
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) throw HostError(EXIT_FAILURE_RUN, "cannot write to standard output: " + Reason());
        published_ = true;
        return;
    }
    if (!sequence_) {
        const int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + Reason());
        CheckName(path_);
        if (std::rename(tempPath_.c_str(), path_.c_str()) != 0) {
            throw HostError(EXIT_FAILURE_RUN, "cannot rename " + tempPath_ + " to " + path_ + ": " + Reason());
        }
        published_ = true;
        return;
    }
    std::vector<std::string> names;
    DIR *dir = opendir(tempDir_.c_str());
    if (!dir) throw HostError(EXIT_FAILURE_RUN, "cannot read " + tempDir_ + ": " + Reason());
    while (dirent *e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(dir);
    // Every name is checked before the first file moves, so a refusal leaves the folder as it was.
    for (const std::string &name : names) CheckName(folder_ + "/" + name);
    for (const std::string &name : names) {
        const std::string from = tempDir_ + "/" + name;
        if (std::rename(from.c_str(), (folder_ + "/" + name).c_str()) != 0) {
            throw HostError(EXIT_FAILURE_RUN, "cannot move " + from + " into " + folder_ + ": " + Reason());
        }
    }
    rmdir(tempDir_.c_str());
    published_ = true;
}

void OutputTarget::Discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!tempPath_.empty()) unlink(tempPath_.c_str());
    if (!tempDir_.empty()) {
        if (DIR *dir = opendir(tempDir_.c_str())) {
            while (dirent *e = readdir(dir)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) unlink((tempDir_ + "/" + e->d_name).c_str());
            }
            closedir(dir);
        }
        rmdir(tempDir_.c_str());
    }
    published_ = true;  // nothing is left to remove
}

int CloseWriter(AVIOContext **writer) {
    if (!*writer) return 0;
    avio_flush(*writer);
    const int error = (*writer)->error;
    av_freep(&(*writer)->buffer);
    avio_context_free(writer);
    return error;
}

int64_t OutputTarget::BytesWritten() const {
    struct stat st{};
    if (sequence_ || stream_) return -1;
    if (fd_ >= 0 && fstat(fd_, &st) == 0) return (int64_t)st.st_size;
    if (published_ && stat(path_.c_str(), &st) == 0) return (int64_t)st.st_size;
    return -1;
}
