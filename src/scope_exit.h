// Runs a cleanup when the enclosing scope ends, on every path.
#pragma once

template <class F>
struct scope_exit {
    F cleanup;
    ~scope_exit() { cleanup(); }
};
template <class F>
scope_exit(F) -> scope_exit<F>;
