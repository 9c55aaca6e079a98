// The grown copies of grown_graymaps.h. Cost: one read of each graymap per grow in use and a
// dilation linear in its cells (detect/widening.cpp); small next to one decoded frame.
#include "cli/detection/grown_graymaps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/errors.h"
#include "cli/plugin/graymap_files.h"
#include "detect/widening.h"
#include "platform/linux/shim.h"

namespace {

std::string TemporaryRoot() {
    const char *dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

// The module keeps paths in Windows-sized buffers (259 characters and a zero): a longer graymap
// path would fail to load, and its subtitle stay in the film.
bool ModuleTakes(const std::string &path) {
    char modulePath[260];
    return LocalPathToModulePath(path.c_str(), modulePath, sizeof(modulePath));
}

}  // namespace

GrownGraymaps::GrownGraymaps(const std::string &indexPath, const IndexSummary &index, const std::vector<int> &grows,
                             int width, int height) {
    if (grows.empty()) return;
    std::string pattern = TemporaryRoot() + "/subremove-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        throw HostError(EXIT_FAILURE_RUN, "cannot make a folder for the widened graymaps of --radius auto in " + TemporaryRoot() +
                                              ": " + std::strerror(errno));
    }
    folder_ = pattern;
    try {
        for (int grow : grows) WriteCopy(indexPath, grow, index, width, height);
    } catch (...) {
        Remove();
        throw;
    }
}

GrownGraymaps::~GrownGraymaps() { Remove(); }

// Last written first: each folder after its files.
void GrownGraymaps::Remove() {
    for (auto it = written_.rbegin(); it != written_.rend(); ++it) std::remove(it->c_str());
    written_.clear();
    if (!folder_.empty()) rmdir(folder_.c_str());
    folder_.clear();
}

const std::string *GrownGraymaps::IndexFor(int grow) const {
    const auto it = indexes_.find(grow);
    return it == indexes_.end() ? nullptr : &it->second;
}

void GrownGraymaps::WriteFile(const std::string &path, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "wbx");
    if (!f) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + std::strerror(errno));
    written_.push_back(path);
    const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !whole) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + std::strerror(errno));
}

// Entry i keeps its number, frames and graymap name; an entry that matches no frame, or whose
// graymap cannot be read, gets a line that matches none (first frame after the last).
void GrownGraymaps::WriteCopy(const std::string &indexPath, int grow, const IndexSummary &index, int width, int height) {
    const std::string dir = folder_ + "/grown" + std::to_string(grow);
    if (!ModuleTakes(dir + "/image_" + std::to_string(index.entries.size()) + ".pgm")) {
        throw HostError(EXIT_FAILURE_RUN, "--radius auto: the paths of the grown graymaps in " + folder_ +
                                              " are too long for the filter (259 characters); set TMPDIR to a shorter folder");
    }
    if (mkdir(dir.c_str(), 0700) != 0) throw HostError(EXIT_FAILURE_RUN, "cannot make " + dir + ": " + std::strerror(errno));
    written_.push_back(dir);  // std::remove takes an empty folder too
    std::string lines = std::to_string(index.entries.size()) + "\n";
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        Graymap g;
        if (!e.matches || !ReadGraymap(GraymapPath(indexPath, i), &g)) {
            lines += std::to_string(i + 1) + ",1,0,0,0\n";
            continue;
        }
        // The grown rectangle within the picture; a graymap wholly off the picture stays as it was.
        const int x0 = std::max(0, e.x - grow), y0 = std::max(0, e.y - grow);
        const int x1 = std::min(width, e.x + g.width + grow), y1 = std::min(height, e.y + g.height + grow);
        const bool inside = x1 > x0 && y1 > y0;
        const std::vector<uint8_t> grown = inside ? GrowGraymap(g.cells.data(), g.width, g.height, grow) : g.cells;
        const int gw = g.width + 2 * grow;
        const std::string pgm = inside ? PgmBytes(x1 - x0, y1 - y0, &grown[(size_t)(y0 - (e.y - grow)) * gw + (x0 - (e.x - grow))], gw)
                                       : PgmBytes(g.width, g.height, g.cells.data(), g.width);
        lines += std::to_string(i + 1) + "," + std::to_string(e.firstFrame) + "," + std::to_string(e.lastFrame) + "," +
                 std::to_string(inside ? x0 : e.x) + "," + std::to_string(inside ? y0 : e.y) + "\n";
        WriteFile(dir + "/image_" + std::to_string(i) + ".pgm", pgm);
    }
    indexes_[grow] = dir + "/subs.bms";
    WriteFile(indexes_[grow], lines);
}
