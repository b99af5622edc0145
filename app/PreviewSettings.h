// How the user hears previews: auditioning while moving through the list, and the level. Kept
// in kapo.ini after the six lines of the connection and the folder.
#pragma once

#include <string>

#include "core/Classes.h"

namespace kapo {

struct TPreviewSettings {
    bool Audition = false;
    int Volume = 100;  // percent, in steps of 10
};

// Lines 6 and 7 of the settings file; missing or unreadable lines give the defaults.
TPreviewSettings ReadPreviewSettings(const std::string& auditionLine, const std::string& volumeLine);
// Adds the two lines, or nothing while both are at their defaults, so that such a file keeps
// its six lines.
void WritePreviewSettings(const TPreviewSettings& settings, TStrings& lines);
// The level after steps of 10 % up (positive) or down, kept within 0 to 100.
int StepVolume(int volume, int steps);
// "Volume 70 %".
std::string VolumeText(int volume);

}  // namespace kapo
