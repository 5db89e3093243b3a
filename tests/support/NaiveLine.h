#pragma once

#include <cstdlib>
#include <set>
#include <utility>

// Every pixel of the line from (x0, y0) to (x1, y1) inside a w x h picture, end pixel
// left out, found by stepping along the major axis without any clipping: the minor
// axis at i * minor / major rounded to nearest, halves away from the start.
inline std::set<std::pair<int, int>> naiveLine(int x0, int y0, int x1, int y1, int w, int h)
{
    std::set<std::pair<int, int>> found;
    const long long dx = (long long)x1 - x0, dy = (long long)y1 - y0;
    const long long adx = std::llabs(dx), ady = std::llabs(dy);
    const long long n = adx > ady ? adx : ady;
    for (long long i = 0; i < n; ++i) {
        long long x, y;
        if (adx >= ady) {
            x = x0 + (dx < 0 ? -i : i);
            const long long m = (2 * i * ady + adx) / (2 * adx);
            y = y0 + (dy < 0 ? -m : m);
        } else {
            y = y0 + (dy < 0 ? -i : i);
            const long long m = (2 * i * adx + ady) / (2 * ady);
            x = x0 + (dx < 0 ? -m : m);
        }
        if (x >= 0 && x < w && y >= 0 && y < h)
            found.insert({int(x), int(y)});
    }
    return found;
}
