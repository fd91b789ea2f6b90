#include "demo/ZlibComp.h"
