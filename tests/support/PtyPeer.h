// The tests' far end of a serial cable is the program's own pty host (src/sim), under the
// name the tests have always used.
#pragma once

#include "sim/PtyPeer.h"

namespace testsupport {
using sim::PtyPeer;
}
