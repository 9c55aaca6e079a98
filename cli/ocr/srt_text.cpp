// SRT text (see srt_text.h).
#include "cli/ocr/srt_text.h"

#include <algorithm>
#include <cstdio>

std::string SrtTime(int64_t microseconds) {
    const int64_t ms = std::max<int64_t>(0, (microseconds + 500) / 1000);
    char text[32];
    std::snprintf(text, sizeof(text), "%02lld:%02lld:%02lld,%03lld", (long long)(ms / 3600000), (long long)(ms / 60000 % 60),
                  (long long)(ms / 1000 % 60), (long long)(ms % 1000));
    return text;
}

std::string SrtText(const std::vector<TimedCue> &cues, const FrameClock &clock) {
    std::string srt;
    for (size_t i = 0; i < cues.size(); ++i) {
        srt += std::to_string(i + 1) + "\n" + SrtTime(clock.Microseconds(cues[i].start)) + " --> " +
               SrtTime(clock.Microseconds(cues[i].end)) + "\n" + cues[i].text + "\n\n";
    }
    return srt;
}
