#include "agent/data_endpoint.h"
