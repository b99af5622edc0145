#include "app/PreviewSettings.h"

#include <algorithm>

namespace kapo {

TPreviewSettings ReadPreviewSettings(const std::string& auditionLine, const std::string& volumeLine)
{
    TPreviewSettings s;
    s.Audition = auditionLine == "1";
    const bool digits = !volumeLine.empty() && volumeLine.size() <= 3 &&
                        std::all_of(volumeLine.begin(), volumeLine.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
        int v = std::stoi(volumeLine);
        if (v <= 100 && v % 10 == 0) s.Volume = v;
    }
    return s;
}

void WritePreviewSettings(const TPreviewSettings& settings, TStrings& lines)
{
    const TPreviewSettings defaults;
    if (settings.Audition == defaults.Audition && settings.Volume == defaults.Volume) return;
    lines.Add(settings.Audition ? "1" : "0");
    lines.Add(std::to_string(settings.Volume));
}

int StepVolume(int volume, int steps)
{
    // A level off the steps (never written so) snaps to the step below it first.
    return std::clamp(volume / 10 * 10 + steps * 10, 0, 100);
}

std::string VolumeText(int volume) { return "Volume " + std::to_string(volume) + " %"; }

}  // namespace kapo
