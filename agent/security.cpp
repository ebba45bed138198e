#include "agent/security.h"
