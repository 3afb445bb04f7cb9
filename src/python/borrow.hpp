// Shared and exclusive borrows of a module object, so that Python code run in
// the middle of a call (an argument's own methods) cannot change an object
// that the call is reading or changing.
#pragma once

#include "python/errors.hpp"

namespace termsweep::python {

// 0: free; > 0: that many shared borrows; -1: borrowed exclusively.
using BorrowFlag = Py_ssize_t;

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_ == -1) throw PythonError(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_;
  }
  ~SharedBorrow() { --flag_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_ != 0) throw PythonError(PyExc_RuntimeError, "Already borrowed");
    flag_ = -1;
  }
  ~ExclusiveBorrow() { flag_ = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

enum class Access { Shared, Exclusive };

}  // namespace termsweep::python
