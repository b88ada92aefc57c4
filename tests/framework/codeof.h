// The int error code a call throws, 0 when it returns.
#pragma once

template <typename F>
int CodeOf(F&& f) {
  try {
    f();
  } catch (int code) {
    return code;
  }
  return 0;
}
