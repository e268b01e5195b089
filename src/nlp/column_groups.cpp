#include "nlp/column_groups.hpp"

#include <algorithm>
#include <numeric>

namespace vornel {

namespace {

// Compressed lists: for each key, the values of the pairs that have it.
struct Adjacency {
  std::vector<std::size_t> start;
  std::vector<std::int64_t> items;

  Adjacency(const std::int64_t* keys, const std::int64_t* values, std::size_t nnz,
            std::int64_t n_keys)
      : start(static_cast<std::size_t>(n_keys) + 1, 0), items(nnz) {
    for (std::size_t k = 0; k < nnz; ++k) ++start[static_cast<std::size_t>(keys[k]) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < nnz; ++k) {
      items[next[static_cast<std::size_t>(keys[k])]++] = values[k];
    }
  }
  const std::int64_t* begin(std::int64_t key) const {
    return items.data() + start[static_cast<std::size_t>(key)];
  }
  const std::int64_t* end(std::int64_t key) const {
    return items.data() + start[static_cast<std::size_t>(key) + 1];
  }
  std::size_t size(std::int64_t key) const {
    return start[static_cast<std::size_t>(key) + 1] - start[static_cast<std::size_t>(key)];
  }
};

}  // namespace

std::vector<std::int64_t> column_groups(const std::int64_t* rows, const std::int64_t* cols,
                                        std::size_t nnz, std::int64_t n_rows, std::int64_t n_cols) {
  const Adjacency rows_of(cols, rows, nnz, n_cols);
  const Adjacency cols_of(rows, cols, nnz, n_rows);
  std::vector<std::int64_t> order(static_cast<std::size_t>(n_cols));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
    return rows_of.size(a) > rows_of.size(b);
  });

  constexpr std::int64_t unassigned = -1;
  std::vector<std::int64_t> group(static_cast<std::size_t>(n_cols), unassigned);
  // taken_by[g] == c marks group g as used by a neighbour of column c; it
  // is never reset, so a column's marks cost nothing to clear.
  std::vector<std::int64_t> taken_by;
  std::int64_t count = 0;
  for (const std::int64_t c : order) {
    for (const std::int64_t* r = rows_of.begin(c); r != rows_of.end(c); ++r) {
      for (const std::int64_t* other = cols_of.begin(*r); other != cols_of.end(*r); ++other) {
        const std::int64_t g = group[static_cast<std::size_t>(*other)];
        if (g != unassigned) taken_by[static_cast<std::size_t>(g)] = c;
      }
    }
    std::int64_t g = 0;
    while (g < count && taken_by[static_cast<std::size_t>(g)] == c) ++g;
    if (g == count) {
      ++count;
      taken_by.push_back(unassigned);
    }
    group[static_cast<std::size_t>(c)] = g;
  }
  return group;
}

}  // namespace vornel
