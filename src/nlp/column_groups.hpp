// Column grouping for finite differences over a sparsity pattern.
#pragma once

#include <cstdint>
#include <vector>

namespace vornel {

// Assigns each of `n_cols` columns a group such that no two columns of one
// group have a nonzero in the same row, so that one difference along the
// sum of a group's unit vectors recovers every column of the group. Greedy,
// columns taken in order of decreasing count of nonzeros (ties by index):
// the densest columns constrain the most and are placed first. `rows` and
// `cols` are the coordinates of the nonzeros, duplicates allowed; every
// index must lie in [0, n_rows) resp. [0, n_cols). Returns the group of
// each column, numbered from 0 without gaps.
std::vector<std::int64_t> column_groups(const std::int64_t* rows, const std::int64_t* cols,
                                        std::size_t nnz, std::int64_t n_rows, std::int64_t n_cols);

}  // namespace vornel
