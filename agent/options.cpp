#include "agent/options.h"
