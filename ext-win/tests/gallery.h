// gallery.h - the pictures of docs/charts.md: one chart per type, layout, line
// style, marker and plot type, built the same way every time. The chart tests
// render them and compare them with the images in docs/images/charts.
#pragma once
#include <vector>

#include "chart.h"

namespace qo::testing {

struct GalleryItem {
    const char* name;  // file name without ".png"
    void (*build)(chart::CChart& c);
    int width, height;
};

const std::vector<GalleryItem>& gallery();

}  // namespace qo::testing
