#include "protocol/TWSocket.h"
