#include "agent/input_core.h"
