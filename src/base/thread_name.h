#pragma once

#include <pthread.h>

#include <string>

namespace pelorin {

// Names the calling thread, as `top -H`, gdb and profilers show it: every thread Pelorin starts is
// "pelorin.<job>". Linux keeps 15 characters.
inline void nameThisThread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

}  // namespace pelorin
