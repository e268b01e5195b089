#include "convert/thread_exit.hpp"

#include <unistd.h>

namespace vornel {

void park_thread() {
  for (;;) pause();
}

}  // namespace vornel
