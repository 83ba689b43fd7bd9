// The borrow flag of a Python object that owns core state. A method takes the flag for
// the whole call: exclusive when it changes the object, shared when it only reads. A
// conflicting call fails at once with RuntimeError instead of waiting or seeing
// half-changed state: a call from Python code run during the first call (an argument's
// __index__, a finaliser, a sys.stdout under a diagnostic line calling back into the same
// object), or from another thread while the first call computes without the interpreter
// lock. The flag is read and changed only with the lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velkan::py {

enum class Access { Shared, Exclusive };

// 0: free; n > 0: n shared holders; kExclusive: one exclusive holder.
class BorrowFlag {
 public:
  bool free() const { return state_ == 0; }

 private:
  friend class BorrowGuard;
  static constexpr long kExclusive = -1;
  long state_ = 0;
};

// Takes the flag on construction and gives it back on destruction. When the flag is
// held in a conflicting way, the guard holds nothing, sets RuntimeError ("Already
// borrowed" when exclusive access was wanted, "Already mutably borrowed" when shared
// access was wanted while an exclusive holder exists) and converts to false.
class BorrowGuard {
 public:
  BorrowGuard(BorrowFlag& flag, Access access) : flag_(&flag), access_(access) {
    if (access == Access::Exclusive) {
      if (flag.state_ != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        flag_ = nullptr;
        return;
      }
      flag.state_ = BorrowFlag::kExclusive;
    } else {
      if (flag.state_ == BorrowFlag::kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        flag_ = nullptr;
        return;
      }
      ++flag.state_;
    }
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (!flag_) return;
    if (access_ == Access::Exclusive) {
      flag_->state_ = 0;
    } else {
      --flag_->state_;
    }
  }

  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
  Access access_;
};

}  // namespace velkan::py
