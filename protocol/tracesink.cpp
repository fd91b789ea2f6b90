#include "tracesink.h"
