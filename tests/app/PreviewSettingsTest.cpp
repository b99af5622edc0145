// The plain data behind the preview: the sounds kept in memory and the preview's settings.
#include <gtest/gtest.h>

#include "app/PreviewSettings.h"
#include "app/SoundCache.h"

using namespace kapo;

TEST(SoundCache, KeepsTheLastHeardWithinItsBytesAndDropsTheLeastRecentFirst)
{
    const struct Row {
        const char* step;  // "put" or "find"
        const char* name;
        std::size_t size;
        const char* kept;  // the names kept afterwards, most recently heard first
        std::size_t bytes;
    } rows[] = {
        {"put", "a", 4, "a", 4},
        {"put", "b", 4, "ba", 8},
        {"find", "a", 0, "ab", 8},
        {"put", "c", 4, "ca", 8},        // b heard least recently: dropped for c
        {"put", "a", 6, "ac", 10},       // a new copy of a replaces the old one
        {"put", "big", 11, "ac", 10},    // larger than the whole: not kept, nothing dropped
        {"find", "b", 0, "ac", 10},
        {"put", "d", 10, "d", 10},
    };
    TSoundCache cache(10);
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.step) + " " + r.name);
        if (std::string(r.step) == "put") cache.Put(r.name, std::string(r.size, 'x'));
        else cache.Find(r.name);
        std::string kept;
        for (const std::string& n : cache.Names()) kept += n;
        EXPECT_EQ(kept, r.kept);
        EXPECT_EQ(cache.Bytes(), r.bytes);
    }
    cache.Clear();
    EXPECT_EQ(cache.Count(), 0u);
    EXPECT_EQ(cache.Bytes(), 0u);
}

TEST(PreviewSettings, LinesAfterTheSixReadAsTheDefaultsUnlessTheyHoldAStep)
{
    const struct Row {
        const char* audition;
        const char* volume;
        bool on;
        int level;
    } rows[] = {
        {"", "", false, 100},   {"1", "70", true, 70}, {"0", "0", false, 0},     {"sim", "75", false, 100},
        {"1 ", "150", false, 100}, {"1", "-10", true, 100}, {"1", "0100", true, 100},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.audition) + "|" + r.volume);
        TPreviewSettings s = ReadPreviewSettings(r.audition, r.volume);
        EXPECT_EQ(s.Audition, r.on);
        EXPECT_EQ(s.Volume, r.level);
    }
    const struct Step {
        int from, steps, to;
    } steps[] = {{100, 1, 100}, {100, -3, 70}, {10, -2, 0}, {0, 12, 100}, {75, 1, 80}};
    for (const Step& s : steps) {
        EXPECT_EQ(StepVolume(s.from, s.steps), s.to) << s.from << " " << s.steps;
    }
    EXPECT_EQ(VolumeText(70), "Volume 70 %");
}
