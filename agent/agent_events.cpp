#include "agent/agent_events.h"
