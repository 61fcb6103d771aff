// suggest.h - "did you mean": the closest of a list of names to one that was
// not found, for the tools' messages. Header-only C++.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace ko {

// Edits (insert, delete, replace, letters compared without case) from a to b.
inline size_t edit_distance(const std::string &a, const std::string &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The candidate closest to name, or "" when none is close enough to be
// what was meant (more edits than a third of the name, at least 2 allowed).
template <typename Names>
std::string closest(const std::string &name, const Names &candidates)
{
    std::string best;
    size_t best_distance = std::max<size_t>(2, name.size() / 3) + 1;
    for (const auto &candidate : candidates) {
        size_t d = edit_distance(name, candidate);
        if (d < best_distance) {
            best_distance = d;
            best = candidate;
        }
    }
    return best;
}

// "; did you mean X?" or "".
template <typename Names>
std::string did_you_mean(const std::string &name, const Names &candidates)
{
    std::string best = closest(name, candidates);
    return best.empty() ? std::string() : "; did you mean " + best + "?";
}

}  // namespace ko
