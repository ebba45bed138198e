#include "agent/settings.h"
