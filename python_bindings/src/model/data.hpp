// Bound data: copied 1-D columns and row-major matrices keyed by name, in the order they were bound.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vorpex {

struct MuExpr;

struct BoundMatrix {
  std::vector<double> values;  // row-major: element (i, j) at i * ncols + j
  std::size_t nrows = 0;
  std::size_t ncols = 0;
};

// A map with unique keys that iterates in insertion order, so messages listing keys are the
// same in every process. Replacing an entry keeps its original position.
template <class T>
class KeyedTable {
 public:
  void insert_or_assign(const std::string& key, T value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      entries_[it->second].second = std::move(value);
      return;
    }
    index_.emplace(key, entries_.size());
    entries_.emplace_back(key, std::move(value));
  }
  const T* find(const std::string& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  bool contains(const std::string& key) const { return index_.count(key) != 0; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  // The keys joined by ", " in insertion order.
  std::string joined_keys() const {
    std::string out;
    for (const auto& [key, value] : entries_) {
      if (!out.empty()) out += ", ";
      out += key;
    }
    return out;
  }

 private:
  std::vector<std::pair<std::string, T>> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

struct BoundData {
  KeyedTable<std::vector<double>> vectors;
  KeyedTable<BoundMatrix> matrices;

  bool empty() const { return vectors.empty() && matrices.empty(); }
};

// A copy of `base` with every entry of `top` inserted over it; the two maps are overlaid
// separately, so a key may end up in both.
BoundData overlay(const BoundData& base, const BoundData& top);

// Checks that every data key named by `expr` is bound, left to right; throws UserError
// "data key '{}' not found in bound data. Available 1-D keys: [{}]" or the matrix form.
void validate_expr_keys(const MuExpr& expr, const BoundData& data);

// Declaration-time check of a likelihood against a builder's bound data: the observed key, then
// the keys of the mean. Does nothing when `data` holds no entry at all.
void check_likelihood_keys(const std::string& observed_key, const MuExpr& expr,
                           const BoundData& data);

}  // namespace vorpex
