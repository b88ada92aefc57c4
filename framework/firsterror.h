// The first error code of a parallel loop: no exception leaves the threads;
// each records its code, the first one is kept, and the calling thread throws
// it after the loop.
#pragma once

#include <atomic>

class FirstError {
 public:
  void Record(int code) {
    int none = 0;
    first.compare_exchange_strong(none, code);
  }
  // Runs f, recording the code of an int it throws (103 for any other exception).
  template <typename F>
  void Run(F&& f) {
    try {
      f();
    } catch (int code) {
      Record(code);
    } catch (...) {
      Record(103);
    }
  }
  bool Failed() const { return first.load() != 0; }
  void ThrowIfAny() const {
    if (const int code = first.load(); code != 0) throw code;
  }
  // The same for a recorder kept over several loops: the code is cleared.
  void ThrowAndClear() {
    if (const int code = first.exchange(0); code != 0) throw code;
  }

 private:
  std::atomic<int> first{0};
};
