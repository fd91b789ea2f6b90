#include "protocol/tracesink.h"
