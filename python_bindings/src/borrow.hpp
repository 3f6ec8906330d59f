// Per-instance borrow counter: readers share, a mutating method needs the instance alone. A
// conflict only arises when Python code runs re-entrantly inside a call (an argument's
// __float__ calling back into the same builder), and is reported instead of corrupting state.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace vorpex {

struct BorrowFlag {
  std::size_t shared = 0;
  bool exclusive = false;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.exclusive) throw std::runtime_error("Already mutably borrowed");
    ++flag_.shared;
  }
  ~SharedBorrow() { --flag_.shared; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.exclusive || flag_.shared != 0) throw std::runtime_error("Already borrowed");
    flag_.exclusive = true;
  }
  ~ExclusiveBorrow() { flag_.exclusive = false; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace vorpex
