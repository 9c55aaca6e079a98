// Checking the graymaps' file types before the module opens them.
#include "cli/graymap_files.h"

#include <sys/stat.h>

#include "cli/errors.h"

void CheckGraymapFiles(const std::string &indexPath, const IndexSummary &index) {
    const size_t slash = indexPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : indexPath.substr(0, slash);
    // One stat per entry: at most 2^20 of them, a fraction of a second.
    for (size_t i = 0; i < index.entries.size(); ++i) {
        if (!index.entries[i].matches) continue;
        const std::string path = folder + "/image_" + std::to_string(i) + ".pgm";
        struct stat st{};
        if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) continue;
        throw HostError(EXIT_FAILURE_RUN, "cannot read the graymap " + path + ": not a regular file");
    }
}
