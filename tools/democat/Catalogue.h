// What the demo catalogue holds: headings and categories in a tree, and in each category its
// sounds, each with a file name, a Portuguese description, a length and how it is drawn.
#pragma once

#include <functional>
#include <list>
#include <string>
#include <vector>

#include "Synth.h"

namespace democat {

struct SoundEntry {
    std::string file;         // ASCII, ends in ".wav"
    std::string description;  // UTF-8
    double seconds;
    std::function<void(Buffer&, Rng&)> draw;
};

struct Category {
    std::string label;        // UTF-8, no colon
    std::string list;         // list file name; empty for a heading
    std::vector<SoundEntry> sounds;
    std::list<Category> children;  // a list keeps references to earlier children valid

    Category& Sub(const std::string& label, const std::string& list = "");
    void Add(const std::string& file, const std::string& description, double seconds, std::function<void(Buffer&, Rng&)> draw);
};

// The top-level headings, in index order.
std::list<Category> BuildCatalogue();

}  // namespace democat
