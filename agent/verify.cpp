#include "agent/verify.h"
