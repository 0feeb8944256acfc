// The name a mistyped word most likely meant, for "did you mean" in
// messages: among `names`, the one a unique prefix of which the word is, or
// else the nearest by the optimal string alignment distance (insertions,
// deletions, substitutions and swaps of neighbours), when it is at most 2
// edits and a third of the word's length and no other name is as near;
// otherwise "". Leading dashes take no part in the length.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

inline size_t EditDistance(std::string_view a, std::string_view b) {
  const size_t n = a.size(), m = b.size();
  std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
  for (size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (size_t i = 1; i <= n; ++i)
    for (size_t j = 1; j <= m; ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[n][m];
}

inline std::string Nearest(std::string_view word, const std::vector<std::string>& names) {
  const size_t letters = word.size() - std::min(word.find_first_not_of('-'), word.size());
  if (letters == 0) return "";
  std::string prefix_of;
  size_t prefixes = 0;
  for (const std::string& name : names)
    if (name.size() > word.size() && name.compare(0, word.size(), word) == 0)
      prefix_of = name, ++prefixes;
  if (prefixes == 1 && letters >= 2) return prefix_of;
  std::string best;
  size_t least = 3, ties = 0;
  for (const std::string& name : names) {
    const size_t d = EditDistance(word, name);
    if (d < least)
      least = d, best = name, ties = 1;
    else if (d == least)
      ++ties;
  }
  if (best.empty() || ties > 1 || 3 * least > letters) return "";
  return best;
}
