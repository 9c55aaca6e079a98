// Temporary copies of an index and its graymaps, each graymap grown by a few pixels, for the
// widenings of --radius auto that fall between two of the module's radii (detect/widening.h).
// The module reads a copy as it reads any index; the user's own files are never touched.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cli/plugin/index_summary.h"

class GrownGraymaps {
public:
    // Writes, for every grow in `grows` (each positive), a copy of the index whose entries keep
    // their frames and whose graymaps are grown by that many pixels, their places moved up and
    // left to match; the grown rectangle is cut to the `width` x `height` picture. The copies go
    // into one new private folder under $TMPDIR (or /tmp). A graymap that cannot be read is left
    // out of the copies: frames of its entry are never given to a grown instance. Throws
    // HostError when the folder or a file cannot be written.
    GrownGraymaps(const std::string &indexPath, const IndexSummary &index, const std::vector<int> &grows, int width,
                  int height);
    // Removes every file written and the folder.
    ~GrownGraymaps();
    GrownGraymaps(const GrownGraymaps &) = delete;
    GrownGraymaps &operator=(const GrownGraymaps &) = delete;

    // The copy of the index grown by `grow`; null when none was written.
    const std::string *IndexFor(int grow) const;

private:
    void WriteCopy(const std::string &indexPath, int grow, const IndexSummary &index, int width, int height);
    void WriteFile(const std::string &path, const std::string &bytes);
    void Remove();

    std::string folder_;
    std::map<int, std::string> indexes_;
    std::vector<std::string> written_;
};
