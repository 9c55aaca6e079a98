// Checking the graymaps' file types before the module opens them.
#include "cli/plugin/graymap_files.h"

#include <sys/stat.h>

#include <cstdio>

#include "cli/errors.h"
#include "cli/input/input.h"

std::string GraymapPath(const std::string &indexPath, size_t entry) {
    const size_t slash = indexPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : indexPath.substr(0, slash);
    return folder + "/image_" + std::to_string(entry) + ".pgm";
}

void CheckGraymapFiles(const std::string &indexPath, const IndexSummary &index) {
    // One stat per entry: at most 2^20 of them, a fraction of a second.
    for (size_t i = 0; i < index.entries.size(); ++i) {
        if (!index.entries[i].matches) continue;
        const std::string path = GraymapPath(indexPath, i);
        struct stat st{};
        if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) continue;
        throw HostError(EXIT_FAILURE_RUN, "cannot read the graymap " + path + ": not a regular file");
    }
}

bool ReadGraymap(const std::string &path, Graymap *g) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    int maxval = 0;
    const bool ok = std::fscanf(f, "P5 %d %d %d", &g->width, &g->height, &maxval) == 3 && std::fgetc(f) != EOF &&
                    g->width > 0 && g->height > 0 && maxval > 0 && maxval < 256 &&
                    (int64_t)g->width * g->height <= kMaxPicturePixels;
    if (ok) {
        g->cells.resize((size_t)g->width * g->height);
        const bool whole = std::fread(g->cells.data(), 1, g->cells.size(), f) == g->cells.size();
        std::fclose(f);
        return whole;
    }
    std::fclose(f);
    return false;
}

std::string PgmBytes(int width, int height, const uint8_t *cells, std::ptrdiff_t stride) {
    std::string pgm = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int y = 0; y < height; ++y) pgm.append(reinterpret_cast<const char *>(cells + y * stride), (size_t)width);
    return pgm;
}
