#include "agent/send_path.h"
